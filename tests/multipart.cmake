service_test(multipart_test SOURCES multipart_test.cpp LIBS multipart SANDBOX)
