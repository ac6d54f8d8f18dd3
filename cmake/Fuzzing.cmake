# vx_add_fuzzer(<name> SOURCES ... [LIBS ...])
#
# One libFuzzer target and its kept inputs. The source defines
# LLVMFuzzerTestOneInput; its seed corpus (and every input that ever found a
# fault) lives in tests/fuzz/corpus/<name>/.
# - In the fuzz preset (VX_BUILD_FUZZERS, clang): the fuzzer bin/<name>, part
#   of the target `fuzzers`; scripts/dev test runs each one for a while over
#   a working copy of its corpus.
# - In every other native build: bin/<name>_replay, the same source with a
#   small main that feeds it every file of the corpus once, registered as the
#   test fuzz_replay.<name>, so the kept inputs are checked by every test run
#   (under AddressSanitizer too in native-asan).
set(VX_FUZZ_CORPUS_ROOT ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus)

if(VX_BUILD_FUZZERS AND NOT TARGET fuzzers)
  add_custom_target(fuzzers)
endif()

function(vx_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(VX_WINDOWS)
    return()
  endif()
  if(NOT IS_DIRECTORY ${VX_FUZZ_CORPUS_ROOT}/${name})
    message(FATAL_ERROR "fuzzer ${name} has no seed corpus: add files to tests/fuzz/corpus/${name}/")
  endif()
  if(VX_BUILD_FUZZERS)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      message(FATAL_ERROR "the fuzz targets need clang (use the fuzz preset)")
    endif()
    add_executable(${name} ${ARG_SOURCES})
    vx_target(${name})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzzers ${name})
  else()
    add_executable(${name}_replay ${ARG_SOURCES} ${CMAKE_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
    vx_target(${name}_replay)
    target_link_libraries(${name}_replay PRIVATE ${ARG_LIBS})
    if(VX_TEST_LABEL)  # a build of one label's tests (cmake/Testing.cmake)
      set_target_properties(${name}_replay PROPERTIES EXCLUDE_FROM_ALL ON)
      return()
    endif()
    add_test(NAME fuzz_replay.${name} COMMAND ${name}_replay ${VX_FUZZ_CORPUS_ROOT}/${name})
  endif()
endfunction()
