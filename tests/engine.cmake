# Tests of the compression engine: the stream adapters and the packer from
# inside (linked with the plugin's sources), and the plugin's binding of the
# library from outside, with broken libraries beside copies of the module.
# They fork, set resource limits and dlopen: Linux only.
if(WIN32)
  return()
endif()

find_package(Threads REQUIRED)

add_library(engine_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/engine_support.cpp)
target_include_directories(engine_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(engine_test_support PUBLIC GTest::gtest)

# None of these programs links libbz2: the plugin binds it at run time, and
# the reference-count test relies on the library being absent otherwise.
function(engine_add_test target)
  add_executable(${target} ${ARGN} ${CMAKE_CURRENT_LIST_DIR}/engine_main.cpp)
  target_link_libraries(${target} PRIVATE engine_test_support)
  gtest_discover_tests(${target} PROPERTIES TIMEOUT 120 DISCOVERY_TIMEOUT 30)
endfunction()

engine_add_test(engine_streams_test ${CMAKE_CURRENT_LIST_DIR}/engine_streams_test.cpp)
target_link_libraries(engine_streams_test PRIVATE quorvane_internal)

engine_add_test(engine_packer_test ${CMAKE_CURRENT_LIST_DIR}/engine_packer_test.cpp)
target_link_libraries(engine_packer_test PRIVATE quorvane_internal Threads::Threads)

engine_add_test(engine_refcount_test ${CMAKE_CURRENT_LIST_DIR}/engine_refcount_test.cpp)
target_link_libraries(engine_refcount_test PRIVATE quorvane_internal)

# Incomplete stand-ins for libbz2.so.1.0, each in a folder of its own so that
# nothing else finds them by accident.
foreach(kind partial forwarding)
  add_library(engine_fake_bz2_${kind} MODULE ${CMAKE_CURRENT_LIST_DIR}/engine_fake_bz2.cpp)
  set_target_properties(engine_fake_bz2_${kind} PROPERTIES
    PREFIX "" OUTPUT_NAME "libbz2" SUFFIX ".so.1.0" NO_SONAME ON
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/engine_fake_bz2_${kind})
  target_link_libraries(engine_fake_bz2_${kind} PRIVATE ${CMAKE_DL_LIBS})
endforeach()
target_compile_definitions(engine_fake_bz2_forwarding PRIVATE QV_FAKE_FORWARDING)

engine_add_test(engine_missing_library_test ${CMAKE_CURRENT_LIST_DIR}/engine_missing_library_test.cpp)
target_compile_definitions(engine_missing_library_test PRIVATE
  QV_PLUGIN_PATH="$<TARGET_FILE:quorvane>"
  QV_FAKE_PARTIAL_PATH="$<TARGET_FILE:engine_fake_bz2_partial>"
  QV_FAKE_FORWARDING_PATH="$<TARGET_FILE:engine_fake_bz2_forwarding>")
target_link_libraries(engine_missing_library_test PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(engine_missing_library_test quorvane engine_fake_bz2_partial engine_fake_bz2_forwarding)
