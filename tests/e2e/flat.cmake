# The flat C interface end to end: the C example (examples/c, built as strict C99) run against one
# virtual camera, and the camera table's behaviour with live streams.
add_executable(tavi_flat_example ${PROJECT_SOURCE_DIR}/examples/c/flat_camera.c)
set_target_properties(tavi_flat_example PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(tavi_flat_example PRIVATE -pedantic)
target_link_libraries(tavi_flat_example PRIVATE TaviSDK)
# A sanitized library needs the C++ part of the sanitizer runtime, which only the C++ driver links.
if(TAVI_SANITIZE)
    set_target_properties(tavi_flat_example PROPERTIES LINKER_LANGUAGE CXX)
endif()

add_executable(tavi_e2e_flat ${CMAKE_CURRENT_LIST_DIR}/flat_e2e_test.cpp)
target_include_directories(tavi_e2e_flat PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_definitions(tavi_e2e_flat PRIVATE TAVI_FLAT_EXAMPLE="$<TARGET_FILE:tavi_flat_example>")
target_link_libraries(tavi_e2e_flat PRIVATE TaviSDK GTest::gtest GTest::gtest_main)
add_dependencies(tavi_e2e_flat tavi_flat_example)
tavi_e2e_test(e2e.flat BINARY tavi_e2e_flat SUITES FlatE2E TIMEOUT 300
    NETNS --adapter tfl0,169.254.43.1/16 --camera tfl0,169.254.43.2/16)
