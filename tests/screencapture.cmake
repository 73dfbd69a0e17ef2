service_test(screencapture_test SOURCES screencapture_test.cpp LIBS screencapture simscreen PNG::PNG SANDBOX)
