# Point clouds end to end: a depth frame from one virtual camera, filtered and written as files.
add_executable(tavi_e2e_cloud ${CMAKE_CURRENT_LIST_DIR}/cloud_e2e_test.cpp)
target_include_directories(tavi_e2e_cloud PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/tools/virtual-camera)
target_link_libraries(tavi_e2e_cloud PRIVATE TaviSDK GTest::gtest GTest::gtest_main)
# A sanitizer build's own camera renders and its library filters a full frame slowly: a wide bound.
tavi_e2e_test(e2e.cloud BINARY tavi_e2e_cloud SUITES CloudE2E TIMEOUT 300
    NETNS --adapter tcl0,169.254.40.1/16 --camera tcl0,169.254.40.2/16)
