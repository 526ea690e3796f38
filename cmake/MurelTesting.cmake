find_package(GTest REQUIRED)
include(GoogleTest)

# murel_add_test(<name> SOURCES <files...> [LIBRARIES <targets...>])
# One executable per subsystem; every GoogleTest case becomes a CTest test.
function(murel_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE MurelEngine GTest::gtest GTest::gtest_main ${ARG_LIBRARIES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  murel_set_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    PROPERTIES LABELS ${name})
endfunction()
