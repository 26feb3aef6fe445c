# Voice codec speed against libopus (reference only, benchmark only).
tw_add_bench(audio_vodec_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/audio_bench.cpp LIBS tw_audio)
target_compile_definitions(audio_vodec_bench PRIVATE TW_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
find_package(PkgConfig)
if(PkgConfig_FOUND)
  pkg_check_modules(OPUS IMPORTED_TARGET opus)
endif()
if(OPUS_FOUND)
  target_link_libraries(audio_vodec_bench PRIVATE PkgConfig::OPUS)
  target_compile_definitions(audio_vodec_bench PRIVATE TW_BENCH_OPUS=1)
endif()
# CPU a sound device's thread uses per second of playing on clockless PCMs.
tw_add_bench(sound_device_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/sound_device_bench.cpp LIBS tw_platform)
