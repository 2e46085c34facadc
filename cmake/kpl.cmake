# kpl_library(NAME SOURCES...): one subsystem's static library with the
# project's include root and warning set.
function(kpl_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC kpl_warnings)
endfunction()

include(GoogleTest)

# kpl_test(NAME SOURCES... LIBS libs...): one GoogleTest executable whose
# cases CTest knows one by one. They are listed when the tests run, not at
# build time, so that a cross build never starts its emulator while building.
# Suites that need the Linux layer's simulated world are not built for
# Windows; the caller decides.
function(kpl_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kpl_test_support GTest::gtest GTest::gtest_main kpl_warnings)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)
  # ./run finds every suite of a build tree here.
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/suites/${name}.path CONTENT "$<TARGET_FILE:${name}>\n")
endfunction()
