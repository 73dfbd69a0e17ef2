add_executable(codecs_bench codecs_bench.cpp)
target_link_libraries(codecs_bench PRIVATE introspection benchmark::benchmark)
