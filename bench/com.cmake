# Benchmarks of the component layer: string and array allocation, and the
# cost of one table-driven Invoke (what every event and container call pays).
tw_add_bench(com_automation_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/com_bench.cpp LIBS tw_platform)
