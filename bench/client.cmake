# The client engine against the real server engine with real pump threads:
# chat round trips with end-to-end acknowledgements, acknowledged messages per
# second, and the engine thread's idle CPU with 100 connected peers. A small
# timing program: it prints its figures.
add_executable(client_bench ${CMAKE_CURRENT_SOURCE_DIR}/client_bench.cpp)
target_link_libraries(client_bench PRIVATE tw_client tw_server tw_transport tw_platform)
