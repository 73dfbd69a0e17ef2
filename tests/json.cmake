service_test(json_test SOURCES json_test.cpp LIBS json)
