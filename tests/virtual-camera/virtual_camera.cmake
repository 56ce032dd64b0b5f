# The virtual camera's own tests: its description file and settings without a network, and the
# camera seen through GVCP inside an isolated namespace with three cameras.
set(VCAM_DIR ${PROJECT_SOURCE_DIR}/tools/virtual-camera)

add_executable(tavi_vcam_description_tests
    ${CMAKE_CURRENT_LIST_DIR}/description_test.cpp
    ${VCAM_DIR}/description.cpp
    ${VCAM_DIR}/settings.cpp
    ${VCAM_DIR}/net_interface.cpp)
target_include_directories(tavi_vcam_description_tests PRIVATE ${VCAM_DIR} ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(tavi_vcam_description_tests PRIVATE GTest::gtest GTest::gtest_main
    PkgConfig::PUGIXML PkgConfig::LIBZIP)
add_test(NAME vcam_description COMMAND tavi_vcam_description_tests)
set_tests_properties(vcam_description PROPERTIES LABELS "unit;virtual-camera")

add_executable(tavi_vcam_e2e_tests
    ${CMAKE_CURRENT_LIST_DIR}/camera_e2e_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/camera_stream_e2e_test.cpp)
target_include_directories(tavi_vcam_e2e_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tavi_vcam_e2e_tests PRIVATE GTest::gtest GTest::gtest_main
    PkgConfig::PUGIXML PkgConfig::LIBZIP)
set(TAVI_VCAM_THREE_CAMERAS
    --camera "tv0,169.254.1.10/16,--serial VC0 --mac 02:00:00:00:00:10 --user-name lab-left"
    --camera "tv0,169.254.1.11/16,--serial VC1 --mac 02:00:00:00:00:11 --description xml --reboot-ms 600"
    --camera "tv0,10.77.0.5/24,--serial VC2 --mac 02:00:00:00:00:12")
tavi_e2e_test(vcam_e2e BINARY tavi_vcam_e2e_tests SUITES VirtualCamera CameraStream
    NETNS --adapter tv0,169.254.1.1/16 ${TAVI_VCAM_THREE_CAMERAS})
# The streams again over a jumbo-frame segment.
tavi_e2e_test(vcam_e2e_jumbo BINARY tavi_vcam_e2e_tests SUITES CameraStream
    NETNS --adapter tv0,169.254.1.1/16,mtu=9000 ${TAVI_VCAM_THREE_CAMERAS})
set_property(TEST vcam_e2e vcam_e2e_jumbo APPEND PROPERTY LABELS virtual-camera)

# A generic GigE Vision client as a peer, where Aravis and its Python binding are installed.
execute_process(COMMAND /usr/bin/python3 -c "import gi; gi.require_version('Aravis', '0.8')"
    RESULT_VARIABLE TAVI_ARAVIS_MISSING OUTPUT_QUIET ERROR_QUIET)
if(TAVI_ARAVIS_MISSING EQUAL 0)
    add_test(NAME vcam_aravis_peer
        COMMAND ${TAVI_NETNS_RUN}
            --adapter tv0,169.254.1.1/16
            --camera "tv0,169.254.1.10/16,--serial VC0 --mac 02:00:00:00:00:10"
            -- /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/aravis_peer.py)
    set_tests_properties(vcam_aravis_peer PROPERTIES LABELS "e2e;virtual-camera" TIMEOUT 60)
else()
    message(STATUS "Aravis (gir1.2-aravis-0.8) not found: the generic-client test of the virtual camera is left out")
endif()

# The namespace harness itself.
add_test(NAME netns_harness COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/harness_test.sh ${TAVI_NETNS_RUN})
set_tests_properties(netns_harness PROPERTIES LABELS "e2e;virtual-camera" TIMEOUT 120)
