tw_add_bench(transport_pipe_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/pipe_bench.cpp LIBS tw_transport)
tw_add_bench(server_mill_scale_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/mill_scale_bench.cpp
             LIBS tw_server tw_test_support)
target_compile_definitions(server_mill_scale_bench PRIVATE TW_HOST_PROGRAM="$<TARGET_FILE:twParleySrv>"
                           TW_SERVER_CONTROL="$<TARGET_FILE:twParleySrv_free>" TW_REGSVR="$<TARGET_FILE:twregsvr>")
add_dependencies(server_mill_scale_bench twParleySrv twParleySrv_free twregsvr)
# The login figures run the host program over the registered control.
tw_add_bench(server_hub_load_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/hub_load_bench.cpp
             LIBS tw_test_support tw_transport)
target_compile_definitions(server_hub_load_bench PRIVATE TW_HOST_PROGRAM="$<TARGET_FILE:twParleySrv>"
                           TW_SERVER_CONTROL="$<TARGET_FILE:twParleySrv_free>" TW_REGSVR="$<TARGET_FILE:twregsvr>")
add_dependencies(server_hub_load_bench twParleySrv twParleySrv_free twregsvr)
# Floods through the hub: four clients at one reader, and a close right after sending.
tw_add_bench(server_hub_flood_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/hub_flood_bench.cpp LIBS tw_transport)
