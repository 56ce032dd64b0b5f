# Discovery end to end: the test namespace gets two adapters on different subnets, one virtual
# camera behind the first and two behind the second, and a default gateway on the first only.
add_executable(tavi_e2e_discovery ${CMAKE_CURRENT_LIST_DIR}/discovery_e2e_test.cpp)
target_include_directories(tavi_e2e_discovery PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tavi_e2e_discovery PRIVATE TaviSDK GTest::gtest GTest::gtest_main)

tavi_e2e_test(e2e.discovery.two_adapters BINARY tavi_e2e_discovery SUITES TwoAdapters
    NETNS --adapter tv0,169.254.1.1/16,mtu=1500,gw=169.254.1.254
          --adapter tv1,192.168.50.1/24,mtu=9000
          --camera "tv0,169.254.1.10/16,--serial TVA001 --mac 02:54:56:00:00:01"
          --camera "tv1,192.168.50.20/24,--serial TVB002 --mac 02:54:56:00:00:02"
          --camera "tv1,192.168.50.21/24,--serial TVB001 --mac 02:54:56:00:00:03")
tavi_e2e_test(e2e.discovery.foreign_subnet BINARY tavi_e2e_discovery SUITES ForceIp
    NETNS --adapter tv0,169.254.1.1/16,mtu=1500
          --camera "tv0,10.3.0.5/24,--serial TVF001 --mac 02:54:56:00:00:11"
          --camera "tv0,169.254.7.7/16,--serial TVS001 --mac 02:54:56:00:00:12")
tavi_e2e_test(e2e.discovery.hostile_answers BINARY tavi_e2e_discovery SUITES HostileAnswers
    NETNS --adapter tv0,169.254.1.1/16,mtu=1500
          --camera "tv0,169.254.1.10/16,--serial TVH001 --mac 02:54:56:00:00:21")
tavi_e2e_test(e2e.discovery.flood BINARY tavi_e2e_discovery SUITES Flood
    NETNS --adapter tv0,169.254.1.1/16,mtu=1500
          --camera "tv0,169.254.1.10/16,--serial TVR001 --mac 02:54:56:00:00:31"
          --camera "tv0,169.254.1.11/16,--serial TVX001 --mac 02:54:56:00:00:32")
tavi_e2e_test(e2e.discovery.flood_on_many_addresses BINARY tavi_e2e_discovery SUITES FloodOnManyAddresses
    NETNS --adapter tv0,169.254.1.1/16,mtu=1500
          --address tv0,169.254.1.2/16
          --address tv0,169.254.1.3/16
          --camera "tv0,169.254.1.10/16,--serial TVR001 --mac 02:54:56:00:00:41"
          --camera "tv0,169.254.1.11/16,--serial TVX001 --mac 02:54:56:00:00:42")
# Only the loopback interface: no adapter to search through.
tavi_e2e_test(e2e.discovery.no_adapter BINARY tavi_e2e_discovery SUITES NoAdapter)
