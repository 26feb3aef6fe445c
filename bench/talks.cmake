# Talks: two and four client engines in a talk through the hub with the real
# media on virtual sound devices and the synthetic camera at 640x480: frames
# per second, capture-to-display and mouth-to-ear delays, CPU per client. A
# small timing program: it prints its figures.
add_executable(talks_bench ${CMAKE_CURRENT_SOURCE_DIR}/talks_bench.cpp)
target_link_libraries(talks_bench PRIVATE tw_client tw_server tw_transport tw_platform)
