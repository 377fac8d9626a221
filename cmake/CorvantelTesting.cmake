# Test registration shared by every folder.
if(CORVANTEL_BUILD_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# corvantel_add_test(NAME [OWN_MAIN] SOURCES... LIBS...): one GoogleTest program
# whose cases are registered with CTest one by one. Tests get a private platform
# root through the fixtures in platform/testing, never the machine's. OWN_MAIN:
# one of the sources defines main() (the client's tests need a QApplication).
function(corvantel_add_test name)
  if(NOT CORVANTEL_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "OWN_MAIN" "" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_SOURCES)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock)
  if(NOT ARG_OWN_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()
