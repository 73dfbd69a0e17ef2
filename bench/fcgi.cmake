add_executable(fcgi_bench fcgi_bench.cpp)
target_link_libraries(fcgi_bench PRIVATE fcgi benchmark::benchmark pthread)
target_include_directories(fcgi_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)

# The reference responder needs the packaged FastCGI library (Debian libfcgi-dev).
find_path(FCGIAPP_INCLUDE fcgiapp.h)
find_library(FCGI_LIBRARY fcgi)
if(FCGIAPP_INCLUDE AND FCGI_LIBRARY)
    add_executable(fcgi_reference fcgi_reference.c)
    target_include_directories(fcgi_reference PRIVATE ${FCGIAPP_INCLUDE})
    target_link_libraries(fcgi_reference PRIVATE ${FCGI_LIBRARY})
else()
    message(STATUS "libfcgi-dev not found: the FastCGI reference responder is not built")
endif()
