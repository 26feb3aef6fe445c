# Benchmarks of the server control as a container drives it: one member call
# through the vtable and through IDispatch, and binary messages from a client
# through the control to the container's sink.
tw_add_bench(server_control_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/server_control_bench.cpp
             LIBS tw_test_support tw_transport tw_platform ${CMAKE_DL_LIBS})
target_compile_definitions(server_control_bench PRIVATE TW_SERVER_CONTROL="$<TARGET_FILE:twParleySrv_free>")
add_dependencies(server_control_bench twParleySrv_free)
