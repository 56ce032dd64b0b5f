# The virtual camera's image and streaming engine: scene rendering and the GVSP sender.
# Included by tools/virtual-camera/CMakeLists.txt; the camera executable links tavi_vcam_streaming.
file(GLOB TAVI_VCAM_STREAMING_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
file(GLOB TAVI_VCAM_SCENE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../scene/*.cpp)
add_library(tavi_vcam_streaming STATIC ${TAVI_VCAM_STREAMING_SOURCES} ${TAVI_VCAM_SCENE_SOURCES})
# Rendering a full frame casts a million rays: keep it optimised in debug and sanitizer builds too,
# so that the first block after a change of view does not keep tests waiting for seconds.
set_source_files_properties(${TAVI_VCAM_SCENE_SOURCES} PROPERTIES COMPILE_OPTIONS -O2)
# Sources include "streaming/..." and "scene/..." from the virtual camera's folder.
get_filename_component(TAVI_VCAM_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
target_include_directories(tavi_vcam_streaming PUBLIC ${TAVI_VCAM_SOURCE_DIR})
target_link_libraries(tavi_vcam_streaming PUBLIC Threads::Threads)
