# Camera control end to end: one virtual camera behind one adapter, in several set-ups. Each set-up
# runs the suite of the same name (tests/e2e/camera_e2e_test.cpp).
add_executable(tavi_e2e_camera ${CMAKE_CURRENT_LIST_DIR}/camera_e2e_test.cpp)
target_include_directories(tavi_e2e_camera PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tavi_e2e_camera PRIVATE TaviSDK GTest::gtest GTest::gtest_main)

# SUITE, adapter options, camera options.
function(tavi_camera_e2e suite adapter camera_options)
    tavi_e2e_test(e2e.camera.${suite} BINARY tavi_e2e_camera SUITES ${suite}
        NETNS --adapter tv0,169.254.1.1/16,${adapter}
              --camera "tv0,169.254.1.10/16,--serial TVC001 --mac 02:54:56:00:00:31 ${camera_options}")
endfunction()

tavi_camera_e2e(PlainDescription mtu=1500 "--description xml")
tavi_camera_e2e(ZippedSecondUrl mtu=1500 "--description zip --first-url-unreadable")
tavi_camera_e2e(Heartbeat mtu=1500 "--description zip")
tavi_camera_e2e(JumboSegment mtu=9000 "--description zip")
