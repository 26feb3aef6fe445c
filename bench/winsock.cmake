# The socket layer's per-tick costs: what one pump pass spends on one pipe.
tw_add_bench(winsock_sockets_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/winsock_bench.cpp LIBS tw_platform)
