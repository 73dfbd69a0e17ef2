add_test(NAME gen.refusals
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/gen/refusals.sh ${CMAKE_SOURCE_DIR}/gen/generate.py
                 ${CMAKE_SOURCE_DIR}/gen/device.def ${CMAKE_CURRENT_BINARY_DIR}/gen-refusals)
