tw_add_bench(bench_messages SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/messages_bench.cpp LIBS tw_platform)
