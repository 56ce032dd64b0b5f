# The point-cloud files in a real reader: PCD and PLY files written by the library are loaded with PCL.
# Built and run only where PCL is installed (libpcl-dev: scripts/setup-deps.sh --with-baselines);
# nothing else needs PCL. scripts/check-cloud-files.sh runs the check on its own.
find_package(PCL 1.10 QUIET COMPONENTS common io)
if(PCL_FOUND AND NOT TAVI_SANITIZE STREQUAL "thread")
    add_executable(cloud_reader_check ${CMAKE_CURRENT_LIST_DIR}/../readers/cloud_reader_check.cpp)
    target_include_directories(cloud_reader_check SYSTEM PRIVATE ${PCL_INCLUDE_DIRS})
    target_include_directories(cloud_reader_check PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(cloud_reader_check PRIVATE TaviSDK_internal ${PCL_LIBRARIES})
    add_test(NAME cloud_files_load_in_pcl COMMAND cloud_reader_check)
    set_tests_properties(cloud_files_load_in_pcl PROPERTIES LABELS readers TIMEOUT 60)
endif()
