# client: the file transfer's per-chunk work (CRC-32, chunk writes through the file layer).
tw_add_bench(client_files_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/client_files_bench.cpp
             LIBS tw_client tw_platform)

# The client engine against the real server engine with real pump threads:
# chat round trips with end-to-end acknowledgements, acknowledged messages per
# second, and the engine thread's idle CPU with 100 connected peers. A small
# timing program: it prints its figures.
add_executable(client_engine_bench ${CMAKE_CURRENT_SOURCE_DIR}/client_bench.cpp)
tw_use_include_root(client_engine_bench PRIVATE)
target_link_libraries(client_engine_bench PRIVATE tw_client tw_server tw_transport tw_platform)

# A file between two client engines through the server engine on loopback, in
# secNone and secSharedKey: MB/s, chunks and their round trip, each side's CPU.
# A small timing program: it prints its figures.
add_executable(client_transfer_bench ${CMAKE_CURRENT_SOURCE_DIR}/client_transfer_bench.cpp)
tw_use_include_root(client_transfer_bench PRIVATE)
target_link_libraries(client_transfer_bench PRIVATE tw_client tw_server tw_transport tw_platform)

# A flood of 2,000,000 tiny acknowledged messages at a client whose pipe to the
# hub cannot send: the victim's memory growth (in a process of its own),
# whether its session stays, and the acknowledgements once it can send again.
# A small timing program: it prints its figures.
add_executable(client_ack_flood_bench ${CMAKE_CURRENT_SOURCE_DIR}/client_ack_flood_bench.cpp)
tw_use_include_root(client_ack_flood_bench PRIVATE)
target_link_libraries(client_ack_flood_bench PRIVATE tw_client tw_server tw_transport tw_platform tw_test_support)
