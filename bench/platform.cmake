tw_add_bench(win32_messages_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/messages_bench.cpp LIBS tw_platform)
