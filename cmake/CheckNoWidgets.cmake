# Fails when a source file of an engine library includes a Qt Widgets header.
file(GLOB_RECURSE engine_sources
    ${SOURCE_DIR}/src/common/* ${SOURCE_DIR}/src/link/* ${SOURCE_DIR}/src/storage/*
    ${SOURCE_DIR}/src/registry/* ${SOURCE_DIR}/src/exchange/* ${SOURCE_DIR}/src/reports/*)
set(offenders "")
foreach(f IN LISTS engine_sources)
    file(STRINGS "${f}" hits REGEX "#[ \t]*include[ \t]*[<\"](QtWidgets|QWidget|QMainWindow|QDialog|QApplication|QMessageBox)")
    if(hits)
        list(APPEND offenders "${f}: ${hits}")
    endif()
endforeach()
if(offenders)
    message(FATAL_ERROR "Widget headers in engine code:\n${offenders}")
endif()
message(STATUS "engine sources checked: no widget includes")
