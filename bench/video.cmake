# Video codec: CVienco/CVideco beside libjpeg-turbo 4:4:4 (benchmark reference
# only) on natural photographs at matched PSNR. The photographs come from
# scripts/fetch-bench-photos.sh (TW_BENCH_PHOTOS overrides the folder at run
# time); libpng reads them.
find_package(PNG)
if(PNG_FOUND)
  tw_add_bench(video_codec_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/video_bench.cpp LIBS tw_video PNG::PNG)
  target_compile_definitions(video_codec_bench PRIVATE TW_BENCH_PHOTO_DIR="${PROJECT_SOURCE_DIR}/build/bench-photos")
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(TURBOJPEG QUIET IMPORTED_TARGET libturbojpeg)
  endif()
  if(TURBOJPEG_FOUND)
    target_link_libraries(video_codec_bench PRIVATE PkgConfig::TURBOJPEG)
    target_compile_definitions(video_codec_bench PRIVATE TW_HAVE_TURBOJPEG=1)
  endif()
endif()
