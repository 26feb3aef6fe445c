# Project-wide compiler settings and the small helpers every folder uses.

include(GoogleTest OPTIONAL)

add_compile_options(-Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
if(TW_WERROR)
  add_compile_options(-Werror)
endif()
if(TW_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# tw_add_library(<name> <sources...>): one static library per source folder,
# position independent so the control libraries can take it in.
function(tw_add_library name)
  add_library(${name} STATIC ${ARGN})
endfunction()

# tw_add_test(<name> SOURCES <files...> LIBS <targets...>): one GoogleTest
# executable; its cases are discovered when ctest runs.
function(tw_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES ENVIRONMENT "TW_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data")
endfunction()

# tw_add_fuzz(<name> SOURCES <files...> LIBS <targets...>): a fuzz target that
# defines LLVMFuzzerTestOneInput. Under g++ it links with a replay driver that
# runs the seed corpus tests/fuzz/corpus/<name>/ plus a fixed number of
# deterministic random inputs, and is registered as a test. With
# -DTW_LIBFUZZER=ON under clang (the `fuzz` preset) it links against libFuzzer
# instead, and every library is built with coverage instrumentation so that
# libFuzzer sees the edges of the code under test, not just the target's own.
# The custom target `fuzz_targets` builds them all.
option(TW_LIBFUZZER "Link fuzz targets with libFuzzer (clang only)" OFF)
if(TW_LIBFUZZER)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TW_LIBFUZZER needs clang (-DCMAKE_CXX_COMPILER=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
add_custom_target(fuzz_targets)
function(tw_add_fuzz name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  add_dependencies(fuzz_targets ${name})
  if(TW_LIBFUZZER)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    # All in one folder, where scripts/fuzz.sh finds them.
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  else()
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
    add_test(NAME ${name} COMMAND ${name} ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${name})
  endif()
endfunction()

# tw_add_bench(<name> SOURCES <files...> LIBS <targets...>)
function(tw_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
endfunction()
