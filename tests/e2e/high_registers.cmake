# End-to-end test of a camera whose feature registers lie at 0x80000000 and above.
add_executable(tavi_high_registers_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/high_registers_e2e_test.cpp)
target_include_directories(tavi_high_registers_e2e_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tavi_high_registers_e2e_tests PRIVATE TaviSDK GTest::gtest GTest::gtest_main)
tavi_e2e_test(e2e.high_registers BINARY tavi_high_registers_e2e_tests SUITES HighRegistersE2e
    NETNS --adapter tvh0,169.254.60.1/16 --camera "tvh0,169.254.60.2/16,--serial TVH001 --register-base 0x80000000")
