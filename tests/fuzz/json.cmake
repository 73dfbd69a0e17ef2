service_fuzz(json SOURCES json_fuzz.cpp LIBS json)
