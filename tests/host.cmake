# The test host harness (shared by every group of tests), and the tests of
# the reading side and of packing files.
find_package(BZip2 REQUIRED)
find_package(Threads REQUIRED)

# quorvane_test_host: loads the built plugin, lays out the host's records,
# records callbacks, builds archives with libbz2.
add_library(quorvane_test_host STATIC
  ${CMAKE_CURRENT_LIST_DIR}/host.cpp
  ${CMAKE_CURRENT_LIST_DIR}/archive_maker.cpp)
target_include_directories(quorvane_test_host PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(quorvane_test_host PRIVATE
  QUORVANE_PLUGIN_PATH="$<TARGET_FILE:quorvane>")
target_link_libraries(quorvane_test_host PUBLIC BZip2::BZip2 Threads::Threads ${CMAKE_DL_LIBS})
add_dependencies(quorvane_test_host quorvane)

# quorvane_test_main: GoogleTest's main under a UTF-8 locale.
add_library(quorvane_test_main STATIC ${CMAKE_CURRENT_LIST_DIR}/test_main.cpp)
target_link_libraries(quorvane_test_main PUBLIC GTest::gtest)

# quorvane_host_test(<target> <sources>...): a test executable that talks to
# the plugin through the host harness, registered with ctest.
function(quorvane_host_test target)
  add_executable(${target} ${ARGN})
  target_link_libraries(${target} PRIVATE quorvane_test_host quorvane_test_main)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# These talk to the plugin the way a Linux host does (ELF exports, FIFOs,
# flock, fork, umask), so they are built for Linux only.
if(NOT WIN32)
  quorvane_host_test(exports_test ${CMAKE_CURRENT_LIST_DIR}/exports_test.cpp)
  target_compile_definitions(exports_test PRIVATE
    QUORVANE_NM="${CMAKE_NM}" QUORVANE_OBJDUMP="${CMAKE_OBJDUMP}")

  quorvane_host_test(pack_test ${CMAKE_CURRENT_LIST_DIR}/pack_test.cpp)
endif()

# The buffer checksum, on both systems.
quorvane_host_test(crc32_test ${CMAKE_CURRENT_LIST_DIR}/crc32_test.cpp)
target_link_libraries(crc32_test PRIVATE quorvane_internal)

# libdeflate chooses its CRC-32 method by the processor it runs on.  The
# buffer checks run again under qemu's user-mode emulator (Debian's
# qemu-user) as a processor without AVX, which takes carry-less
# multiplication without it, and as one without carry-less multiplication,
# which takes the portable table: a second or two each.  Not in a sanitizer
# build: a sanitized program never gets going under the emulator, and
# libdeflate's code is the same there.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64" AND NOT WIN32 AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  find_program(QUORVANE_QEMU qemu-x86_64)
  if(QUORVANE_QEMU)
    foreach(setting IN ITEMS "pclmul;qemu64,+pclmulqdq" "portable;qemu64,-pclmulqdq")
      list(GET setting 0 method)
      list(GET setting 1 cpu)
      add_test(NAME crc32_${method}_method
        COMMAND ${QUORVANE_QEMU} -cpu ${cpu} $<TARGET_FILE:crc32_test>
                --gtest_filter=Crc32.KnownAnswers:Crc32.EveryLength*:Crc32Processor.*)
      set_tests_properties(crc32_${method}_method PROPERTIES
        ENVIRONMENT QV_EXPECTED_CRC_METHOD=${method} TIMEOUT 300)
    endforeach()
  else()
    message(WARNING "qemu-x86_64 (package qemu-user) is missing: "
                    "libdeflate's CRC-32 methods for other processors go untested")
  endif()
endif()

# The reading side runs under Wine as well (scripts/test-windows).
quorvane_host_test(listing_test ${CMAKE_CURRENT_LIST_DIR}/listing_test.cpp)
quorvane_host_test(extract_test ${CMAKE_CURRENT_LIST_DIR}/extract_test.cpp)

# The reading side again where locks behave as on NFS, or are not offered at
# all: archives there must list, test and extract like any other.
if(NOT WIN32)
  add_library(flock_shim MODULE ${CMAKE_CURRENT_LIST_DIR}/flock_shim.c)
  target_link_libraries(flock_shim PRIVATE ${CMAKE_DL_LIBS})
  foreach(mode nfs nolock)
    foreach(suite listing_test extract_test)
      add_test(NAME ${suite}_${mode}_locks COMMAND ${suite})
      # A preloaded library comes before the sanitizer's runtime; it may.
      set_tests_properties(${suite}_${mode}_locks PROPERTIES TIMEOUT 300
        ENVIRONMENT "LD_PRELOAD=$<TARGET_FILE:flock_shim>;QV_FLOCK_SHIM=${mode}"
        ENVIRONMENT_MODIFICATION "ASAN_OPTIONS=string_append::verify_asan_link_order=0")
    endforeach()
  endforeach()
endif()
