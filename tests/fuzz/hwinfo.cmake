service_fuzz(hwinfo SOURCES hwinfo_fuzz.cpp LIBS lhwinfo)
