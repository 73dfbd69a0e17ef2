service_fuzz(fcgi SOURCES fcgi_fuzz.cpp ${CMAKE_CURRENT_SOURCE_DIR}/../fcgi_client.cpp LIBS fcgi)
target_include_directories(fcgi_fuzz PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/..)
