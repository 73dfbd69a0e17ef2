# Suites against the running service, with the broker stand-in and the service of this build.
function(service_suite name)
    service_test(${name} SOURCES ${name}.cpp LIBS fcgiclient gen_init simscreen ${ARGN} SANDBOX)
    target_compile_definitions(${name} PRIVATE BROKER_PATH="$<TARGET_FILE:message-broker>"
                                               SERVICE_PATH="$<TARGET_FILE:service>")
    add_dependencies(${name} message-broker service)
endfunction()

service_suite(service_test nlohmann_json::nlohmann_json)
service_suite(endpoints_test webapi nlohmann_json::nlohmann_json PNG::PNG)
service_suite(voxapp_test lhwinfo nlohmann_json::nlohmann_json)
service_suite(faults_test webapi)
