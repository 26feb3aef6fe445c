# Capture path: sample to frame handler at 640 x 480, the YUYV conversion,
# the synthetic pattern, and a running capture's CPU at 16 fps.
tw_add_bench(video_capture_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/capture_bench.cpp LIBS tw_capture)
