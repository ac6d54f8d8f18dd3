# Compiler settings shared by every target of the project (not third-party
# code): warnings are errors in every build.
set(VX_WINDOWS OFF)
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(VX_WINDOWS ON)
endif()

add_library(vx_options INTERFACE)
target_compile_options(vx_options INTERFACE -Wall -Wextra -Werror)
target_include_directories(vx_options INTERFACE ${CMAKE_SOURCE_DIR})
if(VX_WINDOWS)
  # Wide-character Windows calls; nothing from the narrow API by accident.
  target_compile_definitions(vx_options INTERFACE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                                  _WIN32_WINNT=0x0601)
  # Programs carry no DLL beside them.
  target_link_options(vx_options INTERFACE -static)
endif()

# vx_target(<target>): the project's settings for one of its own targets.
function(vx_target target)
  target_link_libraries(${target} PRIVATE vx_options)
endfunction()

# vx_add_subfolders(): adds every folder beside the calling CMakeLists.txt
# that has a CMakeLists.txt of its own, so a new part needs no edit here.
function(vx_add_subfolders)
  file(GLOB _folders LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(folder ${_folders})
    if(IS_DIRECTORY ${folder} AND EXISTS ${folder}/CMakeLists.txt)
      add_subdirectory(${folder})
    endif()
  endforeach()
endfunction()

# vx_deliverable(): what every shipped program gets (cmake/Deliverables.cmake).
include(Deliverables)
