service_test(logging_test SOURCES logging_test.cpp LIBS weblog SANDBOX)
