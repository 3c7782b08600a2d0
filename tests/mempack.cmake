# Tests of in-memory packing through the exported entry points.  They fork
# (full disk, peak memory) and run GNU tar: Linux only.
if(WIN32 OR NOT TARGET quorvane_test_host OR NOT TARGET engine_test_support)
  return()
endif()

add_executable(mempack_test ${CMAKE_CURRENT_LIST_DIR}/mempack_test.cpp)
target_link_libraries(mempack_test PRIVATE quorvane_test_host quorvane_test_main engine_test_support)
gtest_discover_tests(mempack_test PROPERTIES TIMEOUT 180 DISCOVERY_TIMEOUT 60)
