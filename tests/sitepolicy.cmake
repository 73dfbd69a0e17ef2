service_test(sitepolicy_test SOURCES sitepolicy_test.cpp LIBS webapi SANDBOX)
