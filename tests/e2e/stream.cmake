# End-to-end tests of the stream channels against one virtual camera, in a namespace of their own.
add_executable(tavi_stream_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/stream_e2e_test.cpp)
target_include_directories(tavi_stream_e2e_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tavi_stream_e2e_tests PRIVATE TaviSDK GTest::gtest GTest::gtest_main)
tavi_e2e_test(stream_e2e BINARY tavi_stream_e2e_tests SUITES StreamE2E TIMEOUT 180
    NETNS --adapter tvs0,169.254.30.1/16 --camera tvs0,169.254.30.2/16)
