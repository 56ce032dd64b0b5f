# Image benchmark: colour conversions, fusion, morphology and image files beside OpenCV's, when OpenCV
# is installed (libopencv-dev, `scripts/setup-deps.sh --with-baselines`); without it the table shows
# the plain reference loops only. Nothing else needs OpenCV.
add_executable(image_bench ${CMAKE_CURRENT_LIST_DIR}/image_bench.cpp)
target_include_directories(image_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(image_bench PRIVATE TaviSDK_internal)
find_package(OpenCV QUIET COMPONENTS core imgproc imgcodecs calib3d)
if(OpenCV_FOUND)
    target_compile_definitions(image_bench PRIVATE TAVI_BENCH_WITH_OPENCV)
    target_include_directories(image_bench SYSTEM PRIVATE ${OpenCV_INCLUDE_DIRS})
    target_link_libraries(image_bench PRIVATE ${OpenCV_LIBS})
endif()
