# The reader of set requests; it depends on nothing else of the dictionary.
add_library(json STATIC ${CMAKE_CURRENT_LIST_DIR}/src/json.cpp)
target_include_directories(json PUBLIC ${CMAKE_CURRENT_LIST_DIR}/src)
