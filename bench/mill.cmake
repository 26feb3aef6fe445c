tw_add_bench(transport_pipe_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/pipe_bench.cpp LIBS tw_transport)
tw_add_bench(server_mill_scale_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/mill_scale_bench.cpp LIBS tw_server)
tw_add_bench(server_hub_load_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/hub_load_bench.cpp LIBS tw_transport)
# Floods through the hub: four clients at one reader, and a close right after sending.
tw_add_bench(server_hub_flood_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/hub_flood_bench.cpp LIBS tw_transport)
