# Point clouds end to end: a depth frame from one virtual camera, filtered and written as files.
if(NOT TARGET tavi-virtual-camera)
    return()
endif()
add_executable(tavi_e2e_cloud ${CMAKE_CURRENT_LIST_DIR}/cloud_e2e_test.cpp)
target_include_directories(tavi_e2e_cloud PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/tools/virtual-camera)
target_link_libraries(tavi_e2e_cloud PRIVATE TaviSDK GTest::gtest GTest::gtest_main)
add_test(NAME e2e.cloud
    COMMAND ${TAVI_NETNS_RUN} --adapter tcl0,169.254.40.1/16 --camera tcl0,169.254.40.2/16
            -- $<TARGET_FILE:tavi_e2e_cloud>)
set_tests_properties(e2e.cloud PROPERTIES LABELS e2e TIMEOUT 120
    ENVIRONMENT TAVI_VIRTUAL_CAMERA=$<TARGET_FILE:tavi-virtual-camera>)
