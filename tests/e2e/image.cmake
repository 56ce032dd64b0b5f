# Images end to end: colour, grey and depth frames from one virtual camera saved as BMP and PNG and
# read back by PIL (Debian's python3-pil), depth and colour fused, a rectangle carried across sensors.
add_executable(tavi_e2e_image ${CMAKE_CURRENT_LIST_DIR}/image_e2e_test.cpp)
target_include_directories(tavi_e2e_image PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/tools/virtual-camera)
target_compile_definitions(tavi_e2e_image PRIVATE TAVI_IMAGE_READER="${CMAKE_CURRENT_LIST_DIR}/image_reader.py")
target_link_libraries(tavi_e2e_image PRIVATE TaviSDK_internal GTest::gtest GTest::gtest_main)
tavi_e2e_test(e2e.image BINARY tavi_e2e_image SUITES ImageE2E TIMEOUT 300
    NETNS --adapter tim0,169.254.41.1/16 --camera tim0,169.254.41.2/16)
