# End-to-end tests of streams from standard cameras that lack optional parts: one without the
# source port register, one that sends no test packets, both with another packet size at power-on,
# on a segment whose MTU invites negotiation.
add_executable(tavi_stream_standard_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/stream_standard_e2e_test.cpp)
target_include_directories(tavi_stream_standard_e2e_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tavi_stream_standard_e2e_tests PRIVATE TaviSDK GTest::gtest GTest::gtest_main)
tavi_e2e_test(stream_standard_e2e BINARY tavi_stream_standard_e2e_tests SUITES StandardCameraE2E TIMEOUT 180
    NETNS --adapter tvd0,169.254.31.1/16,mtu=9000
          --camera "tvd0,169.254.31.2/16,--no-scsp --packet-size 1400"
          --camera "tvd0,169.254.31.3/16,--ignore-test-packet --packet-size 1400")
