# add_unit_test(<name> SOURCES <files...> LIBS <targets...>)
# Builds one GoogleTest executable and registers every test in it with CTest.
# The executable's main comes from the test_support library.
include(GoogleTest)
function(add_unit_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  # The build's folders reach the tests through the environment, set by
  # tests/support/TestMain.cpp.
  # Each test carries its executable's name as a label, so that a run can pick
  # the tests of some subsystems (ctest -L).
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${name})
endfunction()

# dc_add_subsystem(<target> [EXCLUDE <file names...>])
# One static library from the sources of the calling folder; its headers are
# included as "<folder>/<name>.h" from src/.
function(dc_add_subsystem name)
  cmake_parse_arguments(ARG "" "" "EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  foreach(excluded ${ARG_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
  endforeach()
  add_library(${name} STATIC ${sources} ${headers})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
endfunction()
