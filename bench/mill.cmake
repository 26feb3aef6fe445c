tw_add_bench(bench_pipe SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/pipe_bench.cpp LIBS tw_transport)
tw_add_bench(bench_mill_scale SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/mill_scale_bench.cpp LIBS tw_server)
