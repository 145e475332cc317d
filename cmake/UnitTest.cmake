# add_unit_test(<name> SOURCES <files...> LIBS <targets...>)
# Builds one GoogleTest executable and registers every test in it with CTest.
include(GoogleTest)
function(add_unit_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT TARGET GTest::gtest_main)
    find_package(GTest REQUIRED)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "DC_TEST_BINARY_DIR=${PROJECT_BINARY_DIR};DC_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
