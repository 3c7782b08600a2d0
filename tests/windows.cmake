# The Windows build of the tests: lib64.dll beside the plugin, the export
# table check, the Windows-only tests (code pages, sharing modes, library
# binding, host records) and the cross-platform archive test.  The test
# programs run under Wine through CMAKE_CROSSCOMPILING_EMULATOR (see
# cmake/mingw-w64-x86_64.cmake); scripts/test-windows drives all of it.
if(NOT WIN32)
  return()
endif()

set(QUORVANE_LIB64DLL "" CACHE FILEPATH "lib64.dll to put beside the plugin (scripts/build-lib64dll)")
set(QUORVANE_LINUX_PLUGIN "" CACHE FILEPATH "Linux build of the plugin, for the cross-platform test")
set(QUORVANE_LINUX_INTEROP_HOST "" CACHE FILEPATH "Linux build of windows_interop_host")
set(QUORVANE_LOCALES_DIR "" CACHE PATH "Compiled ru_RU.UTF-8 and ja_JP.UTF-8 locales (LOCPATH) for Wine")

# With BZ_EXPORT, bzlib.h declares functions; without it, on Windows, it
# declares (and defines) null function pointers.  windows.h, which it pulls
# in, must leave std::min and std::max alone.
if(TARGET BZip2::BZip2)
  set_property(TARGET BZip2::BZip2 APPEND PROPERTY
    INTERFACE_COMPILE_DEFINITIONS BZ_EXPORT NOMINMAX WIN32_LEAN_AND_MEAN)
endif()

# The plugin binds lib64.dll from its own folder.
if(QUORVANE_LIB64DLL)
  add_custom_target(quorvane_lib64dll ALL
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${QUORVANE_LIB64DLL} $<TARGET_FILE_DIR:quorvane>/lib64.dll
    COMMENT "lib64.dll beside the plugin")
  add_dependencies(quorvane_lib64dll quorvane)
else()
  message(WARNING "QUORVANE_LIB64DLL is not set: the plugin will find no compression library")
endif()

find_program(QUORVANE_OBJDUMP NAMES ${QUORVANE_MINGW_TRIPLE}-objdump x86_64-w64-mingw32-objdump REQUIRED)
add_test(NAME windows_exports
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${QUORVANE_OBJDUMP} -DPLUGIN=$<TARGET_FILE:quorvane>
          -P ${CMAKE_CURRENT_LIST_DIR}/windows_exports.cmake)

add_test(NAME windows_version
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${QUORVANE_OBJDUMP} -DWINDRES=${CMAKE_RC_COMPILER}
          -DPLUGIN=$<TARGET_FILE:quorvane> -DVERSION=${PROJECT_VERSION}
          -P ${CMAKE_CURRENT_LIST_DIR}/windows_version.cmake)

# A DLL that has some of the bzip2 functions but not all of them.
add_library(windows_partial_bz2 SHARED ${CMAKE_CURRENT_LIST_DIR}/windows_partial_bz2.c)
set_target_properties(windows_partial_bz2 PROPERTIES PREFIX "" OUTPUT_NAME partial_bz2)

# Windows-only tests through the exported interface.
add_executable(windows_interface_test ${CMAKE_CURRENT_LIST_DIR}/windows_interface_test.cpp)
target_link_libraries(windows_interface_test PRIVATE quorvane_test_host quorvane_test_main)
target_compile_definitions(windows_interface_test PRIVATE
  QUORVANE_LIB64DLL_PATH="$<TARGET_FILE_DIR:quorvane>/lib64.dll"
  QUORVANE_PARTIAL_BZ2_PATH="$<TARGET_FILE:windows_partial_bz2>")
add_dependencies(windows_interface_test windows_partial_bz2)
if(TARGET quorvane_lib64dll)
  add_dependencies(windows_interface_test quorvane_lib64dll)
endif()
gtest_discover_tests(windows_interface_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)

# The platform layer and the checksum from inside, where a sharing conflict
# can be staged exactly.
add_executable(windows_platform_test ${CMAKE_CURRENT_LIST_DIR}/windows_platform_test.cpp)
target_link_libraries(windows_platform_test PRIVATE quorvane_internal quorvane_test_host quorvane_test_main)
gtest_discover_tests(windows_platform_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)

# The same program under three ANSI code pages: Wine takes it from the
# locale named on its command line.  QV_EXPECTED_ACP lets the program check
# that it got the one it was started for.  The locale must exist on the Linux
# side too, or Wine cannot map non-ASCII file names: scripts/test-windows
# compiles the two it needs into a folder of its own (LOCPATH), leaving the
# system's locales alone.
add_executable(windows_codepage_test ${CMAKE_CURRENT_LIST_DIR}/windows_codepage_test.cpp)
target_link_libraries(windows_codepage_test PRIVATE quorvane_test_host quorvane_test_main)
target_compile_definitions(windows_codepage_test PRIVATE
  QUORVANE_LIB64DLL_PATH="$<TARGET_FILE_DIR:quorvane>/lib64.dll")
if(TARGET quorvane_lib64dll)
  add_dependencies(windows_codepage_test quorvane_lib64dll)
endif()
foreach(setting IN ITEMS "1252;C.UTF-8" "1251;ru_RU.UTF-8" "932;ja_JP.UTF-8")
  list(GET setting 0 code_page)
  list(GET setting 1 locale)
  add_test(NAME windows_codepage_${code_page} COMMAND windows_codepage_test)
  set_tests_properties(windows_codepage_${code_page} PROPERTIES
    ENVIRONMENT "LC_ALL=${locale};LOCPATH=${QUORVANE_LOCALES_DIR};QV_EXPECTED_ACP=${code_page}" TIMEOUT 300)
endforeach()

# The wide entry points, under code page 1252 (Wine's default).
add_executable(windows_unicode_test ${CMAKE_CURRENT_LIST_DIR}/windows_unicode_test.cpp)
target_link_libraries(windows_unicode_test PRIVATE quorvane_test_host quorvane_test_main)
if(TARGET quorvane_lib64dll)
  add_dependencies(windows_unicode_test quorvane_lib64dll)
endif()
gtest_discover_tests(windows_unicode_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300
  ENVIRONMENT "LC_ALL=C.UTF-8;LOCPATH=${QUORVANE_LOCALES_DIR}")

# Archives crossing between Linux and Windows.
add_executable(windows_interop_host ${CMAKE_CURRENT_LIST_DIR}/windows_interop_host.cpp)
if(TARGET quorvane_lib64dll)
  add_dependencies(windows_interop_host quorvane_lib64dll)
endif()
list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 quorvane_wine_run)
add_test(NAME windows_interop
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/windows_interop.sh
          ${CMAKE_CURRENT_BINARY_DIR}/interop
          "${QUORVANE_LINUX_INTEROP_HOST}" "${QUORVANE_LINUX_PLUGIN}"
          ${quorvane_wine_run} ${CMAKE_BINARY_DIR}/wineprefix
          $<TARGET_FILE:windows_interop_host> $<TARGET_FILE:quorvane>)
set_tests_properties(windows_interop PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)

# Loading and unloading the plugin many times, idle and after each kind of
# work, leaves no handle, thread, TLS slot or memory behind.
add_executable(windows_unload_test ${CMAKE_CURRENT_LIST_DIR}/windows_unload_test.cpp)
target_link_libraries(windows_unload_test PRIVATE quorvane_test_host quorvane_test_main)
if(TARGET quorvane_lib64dll)
  add_dependencies(windows_unload_test quorvane_lib64dll)
endif()
gtest_discover_tests(windows_unload_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)

# Summer and winter time stamps in a zone with summer time; Wine takes the
# zone from TZ.
add_executable(windows_localtime_test ${CMAKE_CURRENT_LIST_DIR}/windows_localtime_test.cpp)
target_link_libraries(windows_localtime_test PRIVATE quorvane_test_host quorvane_test_main)
if(TARGET quorvane_lib64dll)
  add_dependencies(windows_localtime_test quorvane_lib64dll)
endif()
add_test(NAME windows_localtime_berlin COMMAND windows_localtime_test)
set_tests_properties(windows_localtime_berlin PROPERTIES ENVIRONMENT "TZ=Europe/Berlin" TIMEOUT 300)
