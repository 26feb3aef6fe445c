# Benchmarks of transport/: frame parsing and reassembly throughput.
tw_add_bench(transport_erti_frame_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/erti_frame_bench.cpp LIBS tw_transport)
