service_fuzz(multipart SOURCES multipart_fuzz.cpp LIBS multipart)
