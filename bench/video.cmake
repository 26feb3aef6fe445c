# Video codec: frames per second of CVienco/CVideco beside libjpeg-turbo
# (benchmark reference only) on the same frames.
tw_add_bench(video_codec_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/video_bench.cpp LIBS tw_video)
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(TURBOJPEG QUIET IMPORTED_TARGET libturbojpeg)
endif()
if(TURBOJPEG_FOUND)
  target_link_libraries(video_codec_bench PRIVATE PkgConfig::TURBOJPEG)
  target_compile_definitions(video_codec_bench PRIVATE TW_HAVE_TURBOJPEG=1)
endif()
