# One helper registers every QtTest program with CTest, headless and with a UTF-8 locale.
#   tovarin_add_test(tst_name SOURCES a.cpp b.cpp LIBS common platform [TIMEOUT 120] [LABELS x])
function(tovarin_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt5::Test testsupport ${T_LIBS})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/bin)
    add_test(NAME ${name} COMMAND ${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LANG=C.UTF-8;LC_ALL=C.UTF-8;TOVARIN_SOURCE_DIR=${CMAKE_SOURCE_DIR};TOVARIN_BINARY_DIR=${CMAKE_BINARY_DIR}")
    if(WIN32)
        set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "TOVARIN_QTEST_TO_FILE=1")
    endif()
    if(TOVARIN_SANITIZE)
        # Undefined behaviour fails the test instead of scrolling by; leaks inside Qt's own
        # libraries are suppressed, ours are not.
        set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT
            "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1"
            "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/cmake/lsan-qt.supp:print_suppressions=0")
    endif()
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()
