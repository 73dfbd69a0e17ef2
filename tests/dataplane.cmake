service_test(sharedmemory_test SOURCES sharedmemory_test.cpp LIBS sharedmemory SANDBOX)
service_test(serverconnection_test SOURCES serverconnection_test.cpp LIBS broker SANDBOX)
target_compile_definitions(serverconnection_test PRIVATE BROKER_PATH="$<TARGET_FILE:message-broker>")
add_dependencies(serverconnection_test message-broker)
