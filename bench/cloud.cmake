# Point-cloud benchmark: decoding, planes, filters and files beside their alternatives. PCL's binary
# PCD writer joins the table when PCL is installed (libpcl-dev); nothing else needs it.
add_executable(cloud_bench ${CMAKE_CURRENT_LIST_DIR}/cloud_bench.cpp)
target_include_directories(cloud_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(cloud_bench PRIVATE TaviSDK_internal)
find_package(PCL 1.10 QUIET COMPONENTS common io)
if(PCL_FOUND)
    target_compile_definitions(cloud_bench PRIVATE TAVI_BENCH_WITH_PCL)
    target_include_directories(cloud_bench SYSTEM PRIVATE ${PCL_INCLUDE_DIRS})
    target_link_libraries(cloud_bench PRIVATE ${PCL_LIBRARIES})
endif()
