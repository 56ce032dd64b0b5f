cmake_minimum_required(VERSION 3.25)
# Fails when a suite of an end-to-end test binary is run by no end-to-end test (tavi_e2e_test in
# tests/CMakeLists.txt), so that a new or renamed suite cannot be left out silently.
#   cmake -DBINARY=<test binary> -DSUITES=<suite>,<suite>,... -P check_e2e_suites.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${BINARY} --gtest_list_tests OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${BINARY} --gtest_list_tests failed (${status})")
endif()
string(REPLACE "," ";" registered "${SUITES}")
string(REPLACE "\n" ";" lines "${listing}")
set(forgotten)
foreach(line IN LISTS lines)
    # A suite line starts in the first column and ends with a dot; its cases follow indented.
    if(line MATCHES "^([^ ].*)\\.$")
        if(NOT CMAKE_MATCH_1 IN_LIST registered)
            list(APPEND forgotten ${CMAKE_MATCH_1})
        endif()
    endif()
endforeach()
if(forgotten)
    message(FATAL_ERROR "suites of ${BINARY} that no end-to-end test runs: ${forgotten}")
endif()
message(STATUS "every suite of ${BINARY} runs: ${SUITES}")
