add_executable(dataplane_bench dataplane_bench.cpp)
target_link_libraries(dataplane_bench PRIVATE broker benchmark::benchmark)
target_compile_definitions(dataplane_bench PRIVATE BROKER_PATH="$<TARGET_FILE:message-broker>")
add_dependencies(dataplane_bench message-broker)
