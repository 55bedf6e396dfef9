# dormex_add_test(NAME SOURCES... [LIBS libs...] [TEST_PREFIX prefix])
# Builds one test executable and registers each of its GoogleTest cases with ctest, named with
# TEST_PREFIX before the case's own name.
include(GoogleTest)
function(dormex_add_test name)
    cmake_parse_arguments(ARG "" "TEST_PREFIX" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    # The built programs are found through a path fixed at build time, from any directory.
    target_compile_definitions(${name} PRIVATE DORMEX_BUILD_DIR="${CMAKE_BINARY_DIR}")
    # Listed when ctest runs, not at build time: a cross-built test never starts while building.
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST
        TEST_PREFIX "${ARG_TEST_PREFIX}")
endfunction()
