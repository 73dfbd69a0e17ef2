find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The baseline: a plain reading of the record getters, generated from the same definition. tree_bench defines
# the plain codecs it calls.
add_custom_command(
    OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/plain_records_gen.cpp
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/plain_records.py ${CMAKE_SOURCE_DIR}/gen/generate.py
            ${CMAKE_SOURCE_DIR}/gen/device.def ${CMAKE_CURRENT_BINARY_DIR}/plain_records_gen.cpp
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/plain_records.py ${GENERATOR} ${CMAKE_SOURCE_DIR}/gen/device.def
    COMMENT "Generating the plain record getters of the benchmark")
add_executable(tree_bench tree_bench.cpp ${CMAKE_CURRENT_BINARY_DIR}/plain_records_gen.cpp)
target_link_libraries(tree_bench PRIVATE webapi gen_init testprocess benchmark::benchmark)
target_compile_definitions(tree_bench PRIVATE BROKER_PATH="$<TARGET_FILE:message-broker>"
                                              SIM_DEVICE_PATH="$<TARGET_FILE:sim-device>")

add_executable(update_latency update_latency.cpp)
target_link_libraries(update_latency PRIVATE fcgiclient gen_init simscreen testprocess)
target_compile_definitions(update_latency PRIVATE BROKER_PATH="$<TARGET_FILE:message-broker>"
                                                  SERVICE_PATH="$<TARGET_FILE:service>")
