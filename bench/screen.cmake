add_executable(screen_bench screen_bench.cpp)
target_link_libraries(screen_bench PRIVATE screencapture simscreen PNG::PNG benchmark::benchmark)
