service_fuzz(events SOURCES events_fuzz.cpp LIBS broker)
