# Project-wide compiler settings and the small helpers every folder uses.

include(GoogleTest OPTIONAL)

add_compile_options(-Wall -Wextra -Wpedantic -Wno-missing-field-initializers
                    -Wshadow -Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual)
if(TW_WERROR)
  add_compile_options(-Werror)
endif()
if(TW_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Every library states what it needs; there is no global include path. Code
# includes by path from the project root ("platform/win32/messages.h",
# "crypto/mMD5.h"), so each library exports that root to whoever links it.
# A new folder needs one line:
#   tw_add_library(tw_client mEngine.cpp ... DEPS tw_transport tw_platform)
#
# tw_add_library(<name> <sources...> [DEPS <targets...>]): one static library
# per source folder, position independent so the control libraries can take
# it in, with the include root and its dependencies PUBLIC.
function(tw_add_library name)
  cmake_parse_arguments(L "" "" "DEPS" ${ARGN})
  add_library(${name} STATIC ${L_UNPARSED_ARGUMENTS})
  tw_use_include_root(${name} PUBLIC)
  if(L_DEPS)
    target_link_libraries(${name} PUBLIC ${L_DEPS})
  endif()
endfunction()

# tw_use_include_root(<target> PUBLIC|PRIVATE|INTERFACE): the project root as
# the target's include root.
function(tw_use_include_root target scope)
  target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
endfunction()

# tw_add_control_library(<name> <sources...> [DEPS <targets...>]): an
# in-process control library named <name>.so that exports only its four Dll*
# entry points; everything it links is hidden inside it.
function(tw_add_control_library name)
  cmake_parse_arguments(L "" "" "DEPS" ${ARGN})
  add_library(${name} SHARED ${L_UNPARSED_ARGUMENTS})
  set(map ${PROJECT_SOURCE_DIR}/cmake/ControlLibrary.map)
  set_target_properties(${name} PROPERTIES
    PREFIX "" OUTPUT_NAME ${name}
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${map})
  tw_use_include_root(${name} PRIVATE)
  target_link_options(${name} PRIVATE -Wl,--version-script=${map} -Wl,--exclude-libs,ALL -Wl,--no-undefined)
  if(L_DEPS)
    target_link_libraries(${name} PRIVATE ${L_DEPS})
  endif()
endfunction()

# Test, fuzz and benchmark targets are named <folder>_<module>_test,
# <folder>_<module>_fuzz and <folder>_<module>_bench after what they exercise
# (the folder of a platform module is its area: win32, winsock, com, ...).
#
# tw_add_test(<name> SOURCES <files...> LIBS <targets...>): one GoogleTest
# executable; its cases are discovered when ctest runs.
function(tw_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  tw_use_include_root(${name} PRIVATE)
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
  tw_use_include_root(${name} PRIVATE)
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
  tw_use_include_root(${name} PRIVATE)
  # com_bench.cpp declares a test interface without the protected destructor
  # that interfaces here have; until it does, the benchmarks are spared the
  # warning.
  target_compile_options(${name} PRIVATE -Wno-non-virtual-dtor)
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
endfunction()
