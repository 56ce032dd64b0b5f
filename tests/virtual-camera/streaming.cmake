# Tests of the virtual camera's image and streaming engine, on loopback.
if(TARGET tavi_vcam_streaming)
    file(GLOB TAVI_VCAM_STREAMING_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/streaming_*.cpp)
    add_executable(tavi_vcam_streaming_tests ${TAVI_VCAM_STREAMING_TEST_SOURCES})
    target_include_directories(tavi_vcam_streaming_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(tavi_vcam_streaming_tests PRIVATE tavi_vcam_streaming GTest::gtest GTest::gtest_main)
    gtest_discover_tests(tavi_vcam_streaming_tests PROPERTIES LABELS virtual-camera DISCOVERY_TIMEOUT 60)
endif()
