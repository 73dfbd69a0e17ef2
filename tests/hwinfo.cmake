service_test(hwinfo_test SOURCES hwinfo_test.cpp LIBS lhwinfo SANDBOX)
