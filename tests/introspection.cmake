service_test(introspection_test SOURCES introspection_test.cpp LIBS introspection SANDBOX)
target_compile_definitions(introspection_test PRIVATE BROKER_PATH="$<TARGET_FILE:message-broker>")
add_dependencies(introspection_test message-broker)
