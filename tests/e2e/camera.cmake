# Camera control end to end: one virtual camera behind one adapter, in several set-ups.
if(NOT EXISTS ${PROJECT_SOURCE_DIR}/tests/support/virtual_camera_control.h)
    return()
endif()
add_executable(tavi_e2e_camera ${CMAKE_CURRENT_LIST_DIR}/camera_e2e_test.cpp)
target_include_directories(tavi_e2e_camera PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tavi_e2e_camera PRIVATE TaviSDK GTest::gtest GTest::gtest_main)

# NAME, adapter options, camera options, test filter.
function(tavi_camera_e2e name adapter camera_options filter)
    add_test(NAME e2e.camera.${name}
        COMMAND ${TAVI_NETNS_RUN}
                --adapter tv0,169.254.1.1/16,${adapter}
                --camera "tv0,169.254.1.10/16,--serial TVC001 --mac 02:54:56:00:00:31 ${camera_options}"
                -- $<TARGET_FILE:tavi_e2e_camera> --gtest_filter=${filter})
    set_tests_properties(e2e.camera.${name} PROPERTIES LABELS e2e TIMEOUT 120)
endfunction()

tavi_camera_e2e(plain_description mtu=1500 "--description xml"
    "CameraE2e.ConnectsTakesControlAndGivesItBack:CameraE2e.TheDescriptionIsParsedAndSavedWithItsZeroByte:CameraE2e.CalibrationOfEverySensorIsWhatTheCameraHolds:CameraE2e.ClockReadsGiveTheTickFrequencyAndTheLatchedTimestamp:CameraE2e.ACameraHeldByAnotherApplicationIsRefusedAndLeftAlone:CameraE2e.ADamagedDescriptionFailsTheConnectionAndGivesControlBack")
tavi_camera_e2e(zipped_second_url mtu=1500 "--description zip --first-url-unreadable"
    "CameraE2e.ZippedDescriptionBehindTheSecondUrl")
tavi_camera_e2e(heartbeat mtu=1500 "--description zip" "CameraE2e.HeartbeatKeepsControlThenNoticesAPulledCable")
tavi_camera_e2e(jumbo_packets mtu=9000 "--description zip" "CameraE2e.PacketSizeIsTheLargestCandidateThatCrossesA9000Mtu")
