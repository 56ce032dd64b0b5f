# Throughput of the virtual camera's GVSP sender (prints a table; not a test).
if(TARGET tavi_vcam_streaming)
    add_executable(virtual_camera_throughput ${CMAKE_CURRENT_LIST_DIR}/virtual_camera_throughput.cpp)
    target_link_libraries(virtual_camera_throughput PRIVATE tavi_vcam_streaming)
endif()
