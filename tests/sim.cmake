# scripts/run-sim, run as a developer runs it inside a sandbox that stands in for the machine (the demo itself
# then runs in a sandbox inside that one). Not for a cross build: run-sim runs the programs natively.
if(NOT CMAKE_CROSSCOMPILING)
    foreach(case taken demo)
        add_test(NAME RunSim.${case}
                 COMMAND ${SERVICE_SANDBOX} --ro ${CMAKE_BINARY_DIR} --
                         bash ${CMAKE_CURRENT_SOURCE_DIR}/sim_test.sh ${case} ${CMAKE_BINARY_DIR})
        set_tests_properties(RunSim.${case} PROPERTIES TIMEOUT 120)
    endforeach()
endif()
