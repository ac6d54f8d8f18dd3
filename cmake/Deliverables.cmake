# vx_deliverable(<target>): marks a user-mode program that ships. Each
# deliverable's CMakeLists.txt names it with this one line.
#
# The x86 build's programs must load on 32-bit Windows XP SP3: each gets
# the program's own GetTickCount64 for the thread library
# (platform/windows/xp_tick_count64.cpp, compiled into the program itself so
# that it wins over kernel32's), and after every link its import table is
# compared with cmake/windows_xp_missing_imports.txt. An import found there
# fails the build and removes the program.
if(VX_WINDOWS AND CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  find_program(VX_OBJDUMP NAMES i686-w64-mingw32-objdump REQUIRED)
endif()

function(vx_deliverable target)
  if(NOT (VX_WINDOWS AND CMAKE_SYSTEM_PROCESSOR STREQUAL "i686"))
    return()
  endif()
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/platform/windows/xp_tick_count64.cpp)
  add_custom_command(
    TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DIMAGE=$<TARGET_FILE:${target}> -DOBJDUMP=${VX_OBJDUMP}
            -DMISSING=${CMAKE_SOURCE_DIR}/cmake/windows_xp_missing_imports.txt "-DSYSTEM=Windows XP SP3"
            -P ${CMAKE_SOURCE_DIR}/cmake/CheckImports.cmake
    COMMENT "Import check of ${target} against Windows XP SP3"
    VERBATIM)
endfunction()
