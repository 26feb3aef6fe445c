# client: the file transfer's per-chunk work (CRC-32, chunk writes through the file layer).
tw_add_bench(client_files_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/client_files_bench.cpp
             LIBS tw_client tw_platform)
