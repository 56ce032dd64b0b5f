# The tavi tool end to end: the program run against virtual cameras, its JSON read by Python's reader
# (tavi_json.py) and its pictures by PIL (image_reader.py).
add_executable(tavi_cli_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/tavi_cli_e2e_test.cpp)
target_include_directories(tavi_cli_e2e_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_definitions(tavi_cli_e2e_tests PRIVATE TAVI_TOOL="$<TARGET_FILE:tavi>"
    TAVI_JSON_QUERY="${CMAKE_CURRENT_LIST_DIR}/tavi_json.py"
    TAVI_IMAGE_READER="${CMAKE_CURRENT_LIST_DIR}/image_reader.py")
# The library only to read a camera's control privilege without taking control.
target_link_libraries(tavi_cli_e2e_tests PRIVATE TaviSDK GTest::gtest GTest::gtest_main)
add_dependencies(tavi_cli_e2e_tests tavi)

tavi_e2e_test(e2e.tavi BINARY tavi_cli_e2e_tests SUITES TaviCliE2E TIMEOUT 300
    NETNS --adapter tvc0,169.254.60.1/16
          --camera "tvc0,169.254.60.2/16,--serial TVC001 --mac 02:54:56:00:00:51 --device-version 2.5.1 --tick-frequency 125000000")
tavi_e2e_test(e2e.tavi.stats BINARY tavi_cli_e2e_tests SUITES TaviStatsE2E TIMEOUT 180
    NETNS --adapter tvs0,169.254.61.1/16 --camera "tvs0,169.254.61.2/16,--serial TVS001 --seed 7")
tavi_e2e_test(e2e.tavi.firmware BINARY tavi_cli_e2e_tests SUITES TaviFirmwareE2E TIMEOUT 180
    NETNS --adapter tvu0,169.254.73.1/16 --camera "tvu0,169.254.73.2/16,--serial TVU001 --reboot-ms 3000"
          --ftp tvu0,169.254.73.2/16)
# A 1000-byte MTU on the segment and a camera on a foreign subnet with no route to it.
tavi_e2e_test(e2e.tavi.doctor BINARY tavi_cli_e2e_tests SUITES TaviDoctorE2E TIMEOUT 180
    NETNS --adapter tvd0,169.254.71.1/16,mtu=1000
          --camera "tvd0,10.71.0.5/24,--serial TVD001 --mac 02:54:56:00:00:61")
tavi_e2e_test(e2e.tavi.no_camera BINARY tavi_cli_e2e_tests SUITES TaviNoCameraE2E TIMEOUT 120
    NETNS --adapter tvn0,169.254.72.1/16)

# The doctor's checks, the preview renderer and the JSON writer without a camera.
target_link_libraries(tavi_unit_tests PRIVATE tavi_cli_core)
