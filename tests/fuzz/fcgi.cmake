service_fuzz(fcgi SOURCES fcgi_fuzz.cpp LIBS fcgi fcgiclient)
