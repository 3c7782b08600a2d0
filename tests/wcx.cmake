# End-to-end tests of the wcx command-line host: the built wcx runs as a child
# process on temporary files, with the real plugin, bzip2 and GNU tar.
if(TARGET wcx AND NOT WIN32)
  # A library with GetPackerCaps and nothing else.
  add_library(wcx_noexports MODULE ${CMAKE_CURRENT_LIST_DIR}/wcx_noexports.cpp)
  set_target_properties(wcx_noexports PROPERTIES PREFIX "" SUFFIX ".wcx")

  add_executable(wcx_test
    ${CMAKE_CURRENT_LIST_DIR}/wcx_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wcx_support.cpp)
  target_compile_definitions(wcx_test PRIVATE
    WCX_EXE="$<TARGET_FILE:wcx>"
    WCX_PLUGIN="$<TARGET_FILE:quorvane>"
    WCX_NOEXPORTS="$<TARGET_FILE:wcx_noexports>"
    WCX_VERSION="${PROJECT_VERSION}")
  target_link_libraries(wcx_test PRIVATE GTest::gtest_main)
  add_dependencies(wcx_test wcx wcx_plugin wcx_noexports)
  gtest_discover_tests(wcx_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 LABELS wcx)
endif()
