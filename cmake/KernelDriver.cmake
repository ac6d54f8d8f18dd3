# vx_add_kernel_driver(<target> OUTPUT_NAME <name> SOURCES <files...> [LANGUAGE C|CXX])
#
# In the win64 and win32 builds, builds the kernel-mode driver <name>.sys into
# build/<preset>/bin/ against mingw-w64's DDK headers: freestanding code, no C
# run time, subsystem native, entry DriverEntry, imports from ntoskrnl and hal
# only. In native builds it does nothing (the driver code is tested there on
# the user-mode kernel stand-in instead).
#
# The sources compile as an object library with the project's warnings and
# include root; the link is a custom command so that none of the toolchain's
# default Windows libraries (kernel32 and friends) can reach a driver image.
function(vx_add_kernel_driver target)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME;LANGUAGE" "SOURCES" ${ARGN})
  if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
    return()
  endif()
  if(NOT ARG_OUTPUT_NAME)
    set(ARG_OUTPUT_NAME ${target})
  endif()
  if(NOT ARG_LANGUAGE)
    set(ARG_LANGUAGE CXX)
  endif()

  # The check run after each link (the function is global once included, so
  # it keeps to global values): fails the build when an image is not a native
  # subsystem image or imports from anything but the kernel and the HAL.
  set(_image_check ${CMAKE_BINARY_DIR}/vx_check_kernel_image.cmake)
  file(
    WRITE ${_image_check}
    [=[
execute_process(COMMAND ${OBJDUMP} -p ${IMAGE} OUTPUT_VARIABLE headers RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT headers MATCHES "Subsystem[ \t]+00000001")
  message(FATAL_ERROR "${IMAGE}: not a native subsystem image")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
foreach(import ${imports})
  string(TOLOWER "${import}" import)
  if(NOT import MATCHES "dll name: (ntoskrnl\\.exe|hal\\.dll)$")
    message(FATAL_ERROR "${IMAGE}: a kernel driver may import only from ntoskrnl and hal, not ${import}")
  endif()
endforeach()
]=])

  # The DDK headers live beside the compiler's own Windows headers.
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-sysroot OUTPUT_VARIABLE _sysroot OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(_ddk "")
  foreach(candidate /usr/share/mingw-w64/include/ddk ${CMAKE_FIND_ROOT_PATH}/include/ddk ${_sysroot}/include/ddk)
    if(NOT _ddk AND EXISTS ${candidate}/wdm.h)
      set(_ddk ${candidate})
    endif()
  endforeach()
  if(NOT _ddk)
    message(FATAL_ERROR "mingw-w64 DDK headers (ddk/wdm.h) not found")
  endif()

  if(CMAKE_SYSTEM_PROCESSOR MATCHES "64")
    set(_entry DriverEntry)
    set(_arch_flags -mno-red-zone)
  else()
    set(_entry _DriverEntry@8)
    # No floating-point or vector state may be touched in an x86 kernel
    # without saving it first.
    set(_arch_flags -mno-sse -mno-mmx -mno-80387)
  endif()

  add_library(${target}_objects OBJECT ${ARG_SOURCES})
  set_source_files_properties(${ARG_SOURCES} PROPERTIES LANGUAGE ${ARG_LANGUAGE})
  target_compile_options(${target}_objects PRIVATE -Wall -Wextra -Werror -ffreestanding -fno-builtin -fno-stack-protector
                                                   -fno-asynchronous-unwind-tables ${_arch_flags})
  if(ARG_LANGUAGE STREQUAL "CXX")
    target_compile_options(${target}_objects PRIVATE -fno-exceptions -fno-rtti -fno-threadsafe-statics)
  endif()
  target_compile_definitions(${target}_objects PRIVATE __INTRINSIC_DEFINED_InterlockedBitTestAndSet
                                                       __INTRINSIC_DEFINED_InterlockedBitTestAndReset VX_KERNEL_BUILD=1)
  target_include_directories(${target}_objects PRIVATE ${CMAKE_SOURCE_DIR})
  target_include_directories(${target}_objects SYSTEM PRIVATE ${_ddk})

  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-libgcc-file-name OUTPUT_VARIABLE _libgcc
                  OUTPUT_STRIP_TRAILING_WHITESPACE)

  string(REGEX REPLACE "g?cc(-posix)?$" "objdump" _objdump "${CMAKE_C_COMPILER}")
  if(NOT EXISTS ${_objdump})
    find_program(_objdump NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objdump objdump REQUIRED)
  endif()

  set(_output ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${ARG_OUTPUT_NAME}.sys)
  add_custom_command(
    OUTPUT ${_output}
    COMMAND ${CMAKE_C_COMPILER} -o ${_output} $<TARGET_OBJECTS:${target}_objects> -shared -nostdlib -nostartfiles
            -Wl,--subsystem,native -Wl,--entry,${_entry} -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200
            -Wl,--section-alignment,0x1000 -Wl,--stack,0x40000 -lntoskrnl -lhal ${_libgcc}
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${_objdump} -DIMAGE=${_output} -P ${_image_check}
    DEPENDS ${target}_objects $<TARGET_OBJECTS:${target}_objects>
    COMMAND_EXPAND_LISTS
    COMMENT "Linking kernel driver ${ARG_OUTPUT_NAME}.sys"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${_output})
  set_target_properties(${target} PROPERTIES VX_DRIVER_FILE ${_output})
endfunction()
