# qst_add_gtest(NAME LABEL SOURCES... LIBS ...)
# One GoogleTest executable registered with CTest under the given label; every test
# process gets a pinned time zone so day-count conversions are reproducible.
function(qst_add_gtest name label)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main qst_warnings)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_compile_definitions(${name} PRIVATE QST_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data")
    gtest_discover_tests(${name}
        PROPERTIES LABELS ${label} ENVIRONMENT "TZ=Europe/Moscow;QT_QPA_PLATFORM=offscreen"
        DISCOVERY_TIMEOUT 60)
endfunction()
