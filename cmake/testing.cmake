include(GoogleTest)

# zq_add_gtest(NAME SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l1 l2])
# On Linux every test case becomes its own CTest test (so ctest -j spreads them);
# under Wine one CTest test runs the whole executable, since each Wine start costs time.
function(zq_add_gtest name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
    if(CMAKE_CROSSCOMPILING)
        add_test(NAME ${name} COMMAND ${name})
        set_tests_properties(${name} PROPERTIES LABELS "wine;${ARG_LABELS}" TIMEOUT 300)
    else()
        gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
            PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 120)
    endif()
endfunction()
