service_test(service_test SOURCES service_test.cpp LIBS fcgiclient gen_init simscreen nlohmann_json::nlohmann_json
             SANDBOX)
target_compile_definitions(service_test PRIVATE BROKER_PATH="$<TARGET_FILE:message-broker>"
                                                SERVICE_PATH="$<TARGET_FILE:service>"
                                                NGINX_CONF="${CMAKE_SOURCE_DIR}/sim/nginx/nginx.conf")
add_dependencies(service_test message-broker service)

service_test(endpoints_test SOURCES endpoints_test.cpp
             LIBS fcgiclient webapi gen_init simscreen nlohmann_json::nlohmann_json PNG::PNG SANDBOX)
target_compile_definitions(endpoints_test PRIVATE BROKER_PATH="$<TARGET_FILE:message-broker>"
                                                  SERVICE_PATH="$<TARGET_FILE:service>"
                                                  NGINX_CONF="${CMAKE_SOURCE_DIR}/sim/nginx/nginx.conf")
add_dependencies(endpoints_test message-broker service)

service_test(voxapp_test SOURCES voxapp_test.cpp
             LIBS fcgiclient gen_init lhwinfo simscreen nlohmann_json::nlohmann_json SANDBOX)
target_compile_definitions(voxapp_test PRIVATE BROKER_PATH="$<TARGET_FILE:message-broker>"
                                               SERVICE_PATH="$<TARGET_FILE:service>"
                                               NGINX_CONF="${CMAKE_SOURCE_DIR}/sim/nginx/nginx.conf")
add_dependencies(voxapp_test message-broker service)

service_test(faults_test SOURCES faults_test.cpp LIBS fcgiclient webapi gen_init simscreen SANDBOX)
target_compile_definitions(faults_test PRIVATE BROKER_PATH="$<TARGET_FILE:message-broker>"
                                               SERVICE_PATH="$<TARGET_FILE:service>"
                                               NGINX_CONF="${CMAKE_SOURCE_DIR}/sim/nginx/nginx.conf")
add_dependencies(faults_test message-broker service)
