add_executable(tree_bench tree_bench.cpp)
target_link_libraries(tree_bench PRIVATE webapi gen_init plain_records testprocess benchmark::benchmark)
target_compile_definitions(tree_bench PRIVATE BROKER_PATH="$<TARGET_FILE:message-broker>"
                                              SIM_DEVICE_PATH="$<TARGET_FILE:sim-device>")

add_executable(update_latency update_latency.cpp)
target_link_libraries(update_latency PRIVATE fcgiclient gen_init simscreen testprocess)
target_compile_definitions(update_latency PRIVATE BROKER_PATH="$<TARGET_FILE:message-broker>"
                                                  SERVICE_PATH="$<TARGET_FILE:service>")
