# End-to-end tests of a stream on a faulty link: the link goes down and comes back mid-stream, and
# payload packets arrive damaged under their UDP checksum. Run twice: as root, where streams take the
# packet ring, and without CAP_NET_RAW (setpriv), where they take the UDP socket.
add_executable(tavi_stream_network_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/stream_network_e2e_test.cpp)
target_include_directories(tavi_stream_network_e2e_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tavi_stream_network_e2e_tests PRIVATE TaviSDK GTest::gtest GTest::gtest_main)
foreach(path ring udp)
    set(wrapper)
    if(path STREQUAL "udp")
        set(wrapper setpriv --inh-caps=-net_raw --bounding-set=-net_raw --)
    endif()
    tavi_e2e_test(stream_network_e2e.${path} BINARY tavi_stream_network_e2e_tests SUITES StreamNetworkE2E
        TIMEOUT 180
        NETNS --adapter tvn0,169.254.32.1/16 --camera "tvn0,169.254.32.2/16,--seed 5"
        WRAPPER ${wrapper}
        ENVIRONMENT TAVI_EXPECT_PATH=${path})
endforeach()
