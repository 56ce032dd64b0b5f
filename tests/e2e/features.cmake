# Feature controls and the firmware upgrade end to end, each against a virtual camera of its own.
if(TARGET tavi-virtual-camera)
    add_executable(tavi_features_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/features_e2e_test.cpp)
    target_include_directories(tavi_features_e2e_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(tavi_features_e2e_tests PRIVATE TaviSDK GTest::gtest GTest::gtest_main)
    # --verbose: the camera logs every command, so that a test can count what reached it.
    add_test(NAME e2e.features
        COMMAND ${TAVI_NETNS_RUN} --adapter tvf0,169.254.40.1/16
                --camera "tvf0,169.254.40.2/16,--serial TVF001 --verbose"
                -- $<TARGET_FILE:tavi_features_e2e_tests>)
    set_tests_properties(e2e.features PROPERTIES
        LABELS e2e TIMEOUT 180
        ENVIRONMENT TAVI_VIRTUAL_CAMERA=$<TARGET_FILE:tavi-virtual-camera>)

    add_executable(tavi_firmware_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/firmware_e2e_test.cpp)
    target_include_directories(tavi_firmware_e2e_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(tavi_firmware_e2e_tests PRIVATE TaviSDK GTest::gtest GTest::gtest_main)
    # One camera with an FTP server beside it per case: the upgrade reboots its camera.
    function(tavi_firmware_e2e name filter)
        add_test(NAME e2e.firmware.${name}
            COMMAND ${TAVI_NETNS_RUN} --adapter tvw0,169.254.41.1/16
                    --camera "tvw0,169.254.41.2/16,--serial TVW001 --verbose --reboot-ms 6000 --firmware-version 2.0.0"
                    --ftp tvw0,169.254.41.2/16
                    -- $<TARGET_FILE:tavi_firmware_e2e_tests> --gtest_filter=${filter})
        set_tests_properties(e2e.firmware.${name} PROPERTIES
            LABELS e2e TIMEOUT 120
            ENVIRONMENT TAVI_VIRTUAL_CAMERA=$<TARGET_FILE:tavi-virtual-camera>)
    endfunction()
    tavi_firmware_e2e(upgrade "FirmwareE2E.TheFileArrivesByteForByteThenTheCameraInstallsRebootsAndIsLost")
    tavi_firmware_e2e(refusals "FirmwareE2E.*Refused*:FirmwareE2E.*Missing*")
endif()
