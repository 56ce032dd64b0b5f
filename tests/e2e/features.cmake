# End-to-end tests of the feature controls and the firmware upgrade against virtual cameras.
add_executable(tavi_features_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/features_e2e_test.cpp)
target_include_directories(tavi_features_e2e_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tavi_features_e2e_tests PRIVATE TaviSDK GTest::gtest GTest::gtest_main)
# --verbose: the camera logs every command, so that a test can count what reached it.
tavi_e2e_test(e2e.features BINARY tavi_features_e2e_tests SUITES FeaturesE2E TIMEOUT 180
    NETNS --adapter tvf0,169.254.40.1/16 --camera "tvf0,169.254.40.2/16,--serial TVF001 --verbose")

add_executable(tavi_firmware_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/firmware_e2e_test.cpp)
target_include_directories(tavi_firmware_e2e_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tavi_firmware_e2e_tests PRIVATE TaviSDK GTest::gtest GTest::gtest_main)
# One camera with an FTP server beside it per run: the upgrade reboots its camera.
set(TAVI_FIRMWARE_NETNS --adapter tvw0,169.254.41.1/16
    --camera "tvw0,169.254.41.2/16,--serial TVW001 --verbose --reboot-ms 6000 --firmware-version 2.0.0"
    --ftp tvw0,169.254.41.2/16)
tavi_e2e_test(e2e.firmware.upgrade BINARY tavi_firmware_e2e_tests SUITES FirmwareUpgradeE2E
    NETNS ${TAVI_FIRMWARE_NETNS})
tavi_e2e_test(e2e.firmware.refusals BINARY tavi_firmware_e2e_tests SUITES FirmwareE2E
    NETNS ${TAVI_FIRMWARE_NETNS})
