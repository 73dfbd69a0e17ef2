service_fuzz(sites SOURCES sites_fuzz.cpp LIBS webapi)
