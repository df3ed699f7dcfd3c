# qst_add_gtest(NAME LABEL [QT_MAIN] SOURCES... LIBS ...)
# One GoogleTest executable registered with CTest under the given label; every test
# process gets a pinned time zone so day-count conversions are reproducible. QT_MAIN
# gives the program a QCoreApplication (for queued calls and event processing).
function(qst_add_gtest name label)
    cmake_parse_arguments(ARG "QT_MAIN" "" "SOURCES;LIBS" ${ARGN})
    if(ARG_QT_MAIN)
        add_executable(${name} ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/QtTestMain.cpp)
        target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest qst_warnings)
    else()
        add_executable(${name} ${ARG_SOURCES})
        target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main qst_warnings)
    endif()
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_compile_definitions(${name} PRIVATE QST_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data")
    gtest_discover_tests(${name}
        PROPERTIES LABELS ${label} ENVIRONMENT "TZ=Europe/Moscow;QT_QPA_PLATFORM=offscreen"
        DISCOVERY_TIMEOUT 60)
endfunction()
