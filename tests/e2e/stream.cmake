# End-to-end tests of the stream channels against one virtual camera, in a namespace of their own.
if(TARGET tavi-virtual-camera)
    add_executable(tavi_stream_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/stream_e2e_test.cpp)
    target_include_directories(tavi_stream_e2e_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(tavi_stream_e2e_tests PRIVATE TaviSDK GTest::gtest GTest::gtest_main)
    add_test(NAME stream_e2e
        COMMAND ${TAVI_NETNS_RUN} --adapter tvs0,169.254.30.1/16 --camera tvs0,169.254.30.2/16
                -- $<TARGET_FILE:tavi_stream_e2e_tests>)
    set_tests_properties(stream_e2e PROPERTIES
        LABELS e2e TIMEOUT 180
        ENVIRONMENT TAVI_VIRTUAL_CAMERA=$<TARGET_FILE:tavi-virtual-camera>)
endif()
