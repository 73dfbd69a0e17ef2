service_fuzz(kernellog SOURCES kernellog_fuzz.cpp LIBS kernellog)
