service_test(simdevice_test SOURCES simdevice_test.cpp LIBS gen_init SANDBOX)
target_compile_definitions(simdevice_test PRIVATE BROKER_PATH="$<TARGET_FILE:message-broker>"
                                                  SIM_DEVICE_PATH="$<TARGET_FILE:sim-device>")
add_dependencies(simdevice_test message-broker sim-device)
