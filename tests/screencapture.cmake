service_test(screencapture_test SOURCES screencapture_test.cpp LIBS screencapture PNG::PNG SANDBOX)
