# The device console: its readers and checks under node, and the page in Debian's chromium against the simulated
# device of this build (not of a cross build: node and the browser run here).
if(NOT CMAKE_CROSSCOMPILING)
    find_program(NODE node REQUIRED)
    add_test(NAME Console.Readers COMMAND ${NODE} --test ${CMAKE_CURRENT_SOURCE_DIR}/console/units.test.mjs)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/console)
    add_test(NAME Console.Browser
             COMMAND ${SERVICE_SANDBOX} --ro ${CMAKE_BINARY_DIR} --rw ${CMAKE_BINARY_DIR}/console --
                     bash ${CMAKE_CURRENT_SOURCE_DIR}/console/run.sh ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/console)
    # Pages of another site against the device, in a sandbox of their own.
    add_test(NAME Console.CrossOrigin
             COMMAND ${SERVICE_SANDBOX} --ro ${CMAKE_BINARY_DIR} --
                     bash ${CMAKE_CURRENT_SOURCE_DIR}/console/run.sh ${CMAKE_BINARY_DIR} /tmp crossorigin.test.mjs)
    set_tests_properties(Console.Browser Console.CrossOrigin PROPERTIES TIMEOUT 240)
endif()
