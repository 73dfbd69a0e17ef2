add_executable(fcgi_responder fcgi_responder.cpp)
target_link_libraries(fcgi_responder PRIVATE fcgi)

service_test(fcgi_test SOURCES fcgi_test.cpp fcgi_client.cpp LIBS fcgi SANDBOX)
