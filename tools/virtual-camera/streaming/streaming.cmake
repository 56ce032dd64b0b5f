# The virtual camera's image and streaming engine: scene rendering and the GVSP sender.
# Included by tools/virtual-camera/CMakeLists.txt; the camera executable links tavi_vcam_streaming.
file(GLOB TAVI_VCAM_STREAMING_SOURCES CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_LIST_DIR}/*.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../scene/*.cpp)
add_library(tavi_vcam_streaming STATIC ${TAVI_VCAM_STREAMING_SOURCES})
# Sources include "streaming/..." and "scene/..." from the virtual camera's folder.
get_filename_component(TAVI_VCAM_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
target_include_directories(tavi_vcam_streaming PUBLIC ${TAVI_VCAM_SOURCE_DIR})
target_link_libraries(tavi_vcam_streaming PUBLIC Threads::Threads)
