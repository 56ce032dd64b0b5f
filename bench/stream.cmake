# Stream receiver throughput beside Aravis on the same virtual-camera stream (prints a table; not a
# test). Aravis is optional: without libaravis-dev only our rows are printed.
add_executable(stream_throughput ${CMAKE_CURRENT_LIST_DIR}/stream_throughput.cpp)
target_include_directories(stream_throughput PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(stream_throughput PRIVATE TaviSDK)
pkg_check_modules(ARAVIS IMPORTED_TARGET aravis-0.8)
if(ARAVIS_FOUND)
    target_compile_definitions(stream_throughput PRIVATE TAVI_BENCH_WITH_ARAVIS)
    target_link_libraries(stream_throughput PRIVATE PkgConfig::ARAVIS)
endif()
