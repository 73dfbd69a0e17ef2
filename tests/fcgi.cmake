add_executable(fcgi_responder fcgi_responder.cpp)
target_link_libraries(fcgi_responder PRIVATE fcgi)
target_include_directories(fcgi_responder PRIVATE support)

service_test(fcgi_test SOURCES fcgi_test.cpp LIBS fcgi fcgiclient SANDBOX)
service_test(fcgi_peers_test SOURCES fcgi_peers_test.cpp SANDBOX)
target_compile_definitions(fcgi_peers_test PRIVATE RESPONDER="$<TARGET_FILE:fcgi_responder>"
                                                   NGINX_CONF="${CMAKE_CURRENT_SOURCE_DIR}/fcgi_nginx.conf")
add_dependencies(fcgi_peers_test fcgi_responder)
