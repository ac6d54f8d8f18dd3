# Reads the import table of one Windows image and fails when it imports
# anything from a list of imports that the target system lacks. The image is
# removed then, so that no build leaves a program behind that would not load.
#
#   cmake -DIMAGE=<program.exe> -DOBJDUMP=<objdump> -DMISSING=<list file>
#         -DSYSTEM=<name of the target system> -P CheckImports.cmake
#
# The list holds one import a line, "DLL FUNCTION", each a pattern in which
# '*' stands for any text; '#' starts a comment (see
# cmake/windows_xp_missing_imports.txt).
foreach(var IMAGE OBJDUMP MISSING SYSTEM)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckImports.cmake needs -D${var}=...")
  endif()
endforeach()

# A pattern as an anchored regular expression: '*' is any text, every other
# character stands for itself.
function(_vx_pattern_regex pattern out)
  set(escaped "${pattern}")
  foreach(special "\\" "." "+" "?" "^" "$" "(" ")" "[" "]" "{" "}" "|")
    string(REPLACE "${special}" "\\${special}" escaped "${escaped}")
  endforeach()
  string(REPLACE "*" ".*" escaped "${escaped}")
  set(${out} "^${escaped}$" PARENT_SCOPE)
endfunction()

execute_process(COMMAND ${OBJDUMP} -p ${IMAGE} OUTPUT_VARIABLE dump ERROR_VARIABLE dumpError RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${IMAGE})
  message(FATAL_ERROR "${IMAGE}: objdump could not read the import table: ${dumpError}")
endif()

# Every "DLL FUNCTION" the image imports, from objdump's import tables: a
# "DLL Name: X" line, then one line per function (address, hint, name).
string(REPLACE ";" "," dump "${dump}")
string(REPLACE "\n" ";" lines "${dump}")
set(imports "")
set(dll "")
set(inImports FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^The Import Tables")
    set(inImports TRUE)
  elseif(line MATCHES "^The (Export|Delay Import) Tables" OR line MATCHES "^PE File Base Relocations")
    set(inImports FALSE)
  elseif(inImports AND line MATCHES "^[ \t]*DLL Name: (.+)$")
    string(STRIP "${CMAKE_MATCH_1}" dll)
  elseif(inImports AND NOT dll STREQUAL "" AND line MATCHES "^[ \t]+[0-9a-fA-F]+[ \t]+[0-9]+[ \t]+([^ \t]+)")
    list(APPEND imports "${dll}|${CMAKE_MATCH_1}")
  endif()
endforeach()
list(LENGTH imports importCount)
if(importCount EQUAL 0)
  file(REMOVE ${IMAGE})
  message(FATAL_ERROR "${IMAGE}: no imports found in objdump's output; the check cannot tell")
endif()

file(STRINGS ${MISSING} entries)
set(found "")
foreach(entry IN LISTS entries)
  string(STRIP "${entry}" entry)
  if(entry STREQUAL "" OR entry MATCHES "^#")
    continue()
  endif()
  if(NOT entry MATCHES "^([^ \t]+)[ \t]+([^ \t]+)$")
    message(FATAL_ERROR "${MISSING}: not \"DLL FUNCTION\": ${entry}")
  endif()
  string(TOLOWER "${CMAKE_MATCH_1}" dllPattern)
  set(functionPattern "${CMAKE_MATCH_2}")
  _vx_pattern_regex("${dllPattern}" dllRegex)
  _vx_pattern_regex("${functionPattern}" functionRegex)
  foreach(import IN LISTS imports)
    string(REPLACE "|" ";" parts "${import}")
    list(GET parts 0 importDll)
    list(GET parts 1 importFunction)
    string(TOLOWER "${importDll}" importDllLower)
    if(importDllLower MATCHES "${dllRegex}" AND importFunction MATCHES "${functionRegex}")
      list(APPEND found "${importDll} ${importFunction} (listed as \"${entry}\")")
    endif()
  endforeach()
endforeach()

get_filename_component(imageName ${IMAGE} NAME)
if(found)
  list(REMOVE_DUPLICATES found)
  file(REMOVE ${IMAGE})
  list(JOIN found "\n  " lines)
  message(FATAL_ERROR "${imageName} imports what ${SYSTEM} lacks, so it would not load there:\n  ${lines}\n"
                      "(list: ${MISSING}; the image was removed)")
endif()
message(STATUS "${imageName}: ${importCount} imports, none that ${SYSTEM} lacks")
