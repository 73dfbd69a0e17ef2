service_test(kernellog_test SOURCES kernellog_test.cpp LIBS kernellog SANDBOX)
