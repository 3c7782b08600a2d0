# Checks the version resource of the Windows plugin:
#   cmake -DOBJDUMP=<objdump> -DWINDRES=<windres> -DPLUGIN=<quorvane.wcx64>
#         -DVERSION=<x.y.z> -P windows_version.cmake
# The resource directory holds a version resource (type 16), and windres,
# reading it back, finds the project's version and the file's own name.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${OBJDUMP} -p ${PLUGIN} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PLUGIN} failed")
endif()
# The type table is the first level of the directory:
#   000  Type Table: ...
#   010   Entry: ID: 0x000010, Value: 0x80000018
if(NOT dump MATCHES "The \\.rsrc Resource Directory section:\n[^\n]*Type Table[^\n]*\n([^\n]*\n)*[0-9a-f]+   Entry: ID: 0x000010,")
  message(FATAL_ERROR "${PLUGIN} has no version resource")
endif()

execute_process(COMMAND ${WINDRES} -i ${PLUGIN} -O rc OUTPUT_VARIABLE rc RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${WINDRES} cannot read the resources of ${PLUGIN}")
endif()
string(REPLACE "." ", " numbers "${VERSION}")
get_filename_component(name ${PLUGIN} NAME)
foreach(expected
    " FILEVERSION ${numbers}, 0\n"
    " PRODUCTVERSION ${numbers}, 0\n"
    "VALUE \"FileVersion\", \"${VERSION}\"\n"
    "VALUE \"ProductVersion\", \"${VERSION}\"\n"
    "VALUE \"OriginalFilename\", \"${name}\"\n"
    "VALUE \"FileDescription\", \"Quorvane ")
  string(FIND "${rc}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the version resource lacks ${expected}\n${rc}")
  endif()
endforeach()
message(STATUS "version resource: ${VERSION}, ${name}")
