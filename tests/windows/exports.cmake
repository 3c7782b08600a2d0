# Checks the export and import tables of the Windows plugin:
#   cmake -DOBJDUMP=<objdump> -DPLUGIN=<quorvane.wcx64> -P windows_exports.cmake
# Exactly the entry points leave the module, under their plain
# names; and it needs no DLL beyond the system's own (no mingw runtime, and
# no link-time bzip2: lib64.dll is bound at run time).
cmake_minimum_required(VERSION 3.25)
set(expected
  CanYouHandleThisFile CanYouHandleThisFileW CloseArchive ConfigurePacker DoneMemPack GetPackerCaps
  OpenArchive OpenArchiveW PackFiles PackFilesW PackToMem ProcessFile ProcessFileW ReadHeader
  ReadHeaderEx ReadHeaderExW SetChangeVolProc SetChangeVolProcW SetProcessDataProc
  SetProcessDataProcW StartMemPack StartMemPackW)
set(system_dlls ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL)

execute_process(COMMAND ${OBJDUMP} -p ${PLUGIN}
  OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PLUGIN} failed")
endif()

# The name table follows the "[Ordinal/Name Pointer] Table" line:
#   [   0] CanYouHandleThisFile
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([ \t]+\\[[ 0-9]+\\] [^\n]*\n)*)" table "${dump}")
# (Square brackets would upset CMake's list splitting: drop them first.)
string(REGEX REPLACE "[ \t]+\\[[ 0-9]+\\] ([^\n]*)\n" "\\1;" exported "${CMAKE_MATCH_1}")
list(REMOVE_ITEM exported "")
list(SORT exported)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "exports differ\n  expected: ${expected}\n  found:    ${exported}")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(import IN LISTS imports)
  string(REGEX REPLACE "^DLL Name: " "" dll "${import}")
  string(TOUPPER "${dll}" dll)
  if(NOT dll IN_LIST system_dlls)
    message(FATAL_ERROR "the plugin needs ${dll}, which is not part of Windows")
  endif()
endforeach()
message(STATUS "exports: ${exported}")
