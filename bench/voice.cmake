# The voice path over the virtual sound device: mouth-to-ear delay, and the
# CPU of the recorder and of one player per second of speech.
tw_add_bench(audio_voice_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/voice_bench.cpp LIBS tw_audio)
target_compile_definitions(audio_voice_bench PRIVATE TW_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
