# GoogleTest, built by the project from Debian's sources for every build, and
# vx_add_test(). Windows tests run under wine64 through CTest's
# cross-compiling emulator, in a prefix of the build's own with one persistent
# wineserver for the run.
enable_testing()
include(GoogleTest)

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

if(VX_WINDOWS)
  set(VX_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix CACHE PATH "Wine prefix of the Windows tests")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine_run ${VX_WINE_PREFIX})
endif()

# A build may keep the tests of one label only (VX_TEST_LABEL): the
# ThreadSanitizer build runs the concurrency tests alone, so the other test
# programs are left out of its default target and never registered.
set(VX_TEST_LABEL "" CACHE STRING "Build and register only the tests with this label (empty: every test)")

# vx_add_test(<name> SOURCES ... [LIBS ...] [LABELS ...])
function(vx_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  vx_target(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(VX_TEST_LABEL AND NOT VX_TEST_LABEL IN_LIST ARG_LABELS)
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL ON)
    return()
  endif()
  set(_properties "")
  if(ARG_LABELS)
    list(APPEND _properties LABELS "${ARG_LABELS}")
  endif()
  if(VX_WINDOWS)
    list(APPEND _properties FIXTURES_REQUIRED wine_session)
  endif()
  # Tests that load kernel services or install the service program into the
  # shared Wine prefix run one at a time: they create, start, stop and delete
  # services of the same names and edit the same registry keys.
  if("wine_driver" IN_LIST ARG_LABELS OR "wine_service" IN_LIST ARG_LABELS)
    list(APPEND _properties RESOURCE_LOCK service_manager)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 180 NO_PRETTY_VALUES
                       PROPERTIES ${_properties})
endfunction()
