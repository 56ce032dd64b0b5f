# The soak (tests/soak/soak_main.cpp): connection cycles, lossy streaming and faults mid-stream
# against one virtual camera, with descriptors, threads and memory judged per phase. The long run is
# scripts/harden.sh; the ordinary builds run a short one (50 cycles, 20 s of lossy streaming), so a
# leak or a hang shows on the next submission. The address-sanitizer build runs it under
# LeakSanitizer.
add_executable(tavi_soak ${CMAKE_CURRENT_LIST_DIR}/soak_main.cpp)
target_include_directories(tavi_soak PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tavi_soak PRIVATE TaviSDK)

add_test(NAME soak.short
    COMMAND ${TAVI_NETNS_RUN} --adapter tvk0,169.254.40.1/16 --camera "tvk0,169.254.40.2/16,--seed 7"
            -- $<TARGET_FILE:tavi_soak> --cycles 50 --stream-minutes 0.34)
set_tests_properties(soak.short PROPERTIES LABELS "e2e;soak" TIMEOUT 600)

add_executable(tavi_soak_unit_tests ${CMAKE_CURRENT_LIST_DIR}/resource_sample_test.cpp)
target_include_directories(tavi_soak_unit_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tavi_soak_unit_tests PRIVATE GTest::gtest GTest::gtest_main)
add_test(NAME soak.resource_sample COMMAND tavi_soak_unit_tests)
set_tests_properties(soak.resource_sample PROPERTIES LABELS unit TIMEOUT 60)
