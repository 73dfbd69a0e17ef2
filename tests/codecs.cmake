service_test(codecs_test SOURCES codecs_test.cpp LIBS introspection)
