# A camera whose own registers and memory blocks answer at 0x80000000 and above: connection,
# calibration and a complete frame, in a namespace of their own.
if(TARGET tavi-virtual-camera)
    add_executable(tavi_high_registers_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/high_registers_e2e_test.cpp)
    target_include_directories(tavi_high_registers_e2e_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(tavi_high_registers_e2e_tests PRIVATE TaviSDK GTest::gtest GTest::gtest_main)
    add_test(NAME e2e.high_registers
        COMMAND ${TAVI_NETNS_RUN} --adapter tvh0,169.254.60.1/16
                --camera "tvh0,169.254.60.2/16,--serial TVH001 --register-base 0x80000000"
                -- $<TARGET_FILE:tavi_high_registers_e2e_tests>)
    set_tests_properties(e2e.high_registers PROPERTIES
        LABELS e2e TIMEOUT 120
        ENVIRONMENT TAVI_VIRTUAL_CAMERA=$<TARGET_FILE:tavi-virtual-camera>)
endif()
