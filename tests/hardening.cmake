# Hardening tests: damaged archives, stopping at every block, no leaks over
# many cycles, and fault injection through the test flavour of the plugin.
# Each test runs in a process of its own with a private temporary directory.

add_library(quorvane_hardening_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/hardening_support.cpp)
target_link_libraries(quorvane_hardening_support PUBLIC quorvane_test_host)

# quorvane_hardening_test(<target> <timeout> <sources>...)
function(quorvane_hardening_test target timeout)
  add_executable(${target} ${ARGN})
  target_link_libraries(${target} PRIVATE quorvane_hardening_support quorvane_test_main)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${timeout})
endfunction()

quorvane_hardening_test(hardening_test 240
  ${CMAKE_CURRENT_LIST_DIR}/hardening_corruption.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hardening_stop.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hardening_leaks.cpp)

# The fault switches are reached through dlopen/dlsym: Linux only.
if(TARGET quorvane_faults AND NOT WIN32)
  quorvane_hardening_test(hardening_faults_test 240
    ${CMAKE_CURRENT_LIST_DIR}/hardening_faults.cpp)
  target_compile_definitions(hardening_faults_test PRIVATE
    QUORVANE_FAULTS_PLUGIN_PATH="$<TARGET_FILE:quorvane_faults>")
  add_dependencies(hardening_faults_test quorvane_faults)
endif()
