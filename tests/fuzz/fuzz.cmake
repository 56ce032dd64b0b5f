# Fuzz targets: every tests/fuzz/fuzz_<name>.cpp defines LLVMFuzzerTestOneInput over bytes that come
# from outside the library (stream datagrams, the device description and its URL, protocol fields,
# point-cloud frames whose header lies).
#
# With clang and -DTAVI_FUZZ=ON each becomes a libFuzzer binary fuzz_<name>; the library's objects are
# then built with coverage instrumentation and ASan + UBSan as well:
#   CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTAVI_FUZZ=ON -DTAVI_BUILD_BENCH=OFF
#   ninja -C build-fuzz fuzz_targets
#   build-fuzz/tests/fuzz_gvsp_stream -max_total_time=300 <new-dir> tests/fuzz/corpus/gvsp_stream
# Otherwise each is linked with a replay main and registered as the test fuzz.<name> (label fuzz):
# it runs the corpus in tests/fuzz/corpus/<name>/ and TAVI_FUZZ_REPLAY_INPUTS inputs generated from it.

option(TAVI_FUZZ "Build the fuzz targets as libFuzzer binaries (needs clang)" OFF)
set(TAVI_FUZZ_REPLAY_INPUTS 20000 CACHE STRING "Generated inputs each fuzz replay test runs")

# A point-cloud input costs more than the others (each text file of a cloud, however small, sets up
# 2 MiB of number tables), so its replay runs a share of the inputs.
set(TAVI_FUZZ_REPLAY_DIVISOR_point_cloud 20)
# Descriptions that amplify need room: node-map inputs may grow to 1 MiB (for libFuzzer pass
# -max_len=1048576 to fuzz_node_map).
set(TAVI_FUZZ_REPLAY_MAX_SIZE_node_map 1048576)

set(TAVI_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
file(GLOB TAVI_FUZZ_SOURCES CONFIGURE_DEPENDS ${TAVI_FUZZ_DIR}/fuzz_*.cpp)

set(TAVI_LIBFUZZER OFF)
if(TAVI_FUZZ)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        set(TAVI_LIBFUZZER ON)
    else()
        message(WARNING "TAVI_FUZZ needs clang; the fuzz targets are built as replay tests instead")
    endif()
endif()

if(TAVI_LIBFUZZER)
    # Coverage feedback from the library too (its objects serve both libraries); their consumers (unit
    # tests as well) link the sanitizers.
    set(TAVI_FUZZ_SANITIZERS address,undefined)
    target_compile_options(TaviSDK_objects PRIVATE -fsanitize=fuzzer-no-link,${TAVI_FUZZ_SANITIZERS}
                           -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(TaviSDK PUBLIC -fsanitize=${TAVI_FUZZ_SANITIZERS})
    target_link_options(TaviSDK_internal INTERFACE -fsanitize=${TAVI_FUZZ_SANITIZERS})
    add_custom_target(fuzz_targets)
endif()

foreach(source IN LISTS TAVI_FUZZ_SOURCES)
    get_filename_component(target ${source} NAME_WE)
    string(REGEX REPLACE "^fuzz_" "" name ${target})
    if(TAVI_LIBFUZZER)
        add_executable(${target} ${source})
        target_compile_options(${target} PRIVATE -fsanitize=fuzzer,${TAVI_FUZZ_SANITIZERS}
                               -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
        target_link_options(${target} PRIVATE -fsanitize=fuzzer,${TAVI_FUZZ_SANITIZERS})
        add_dependencies(fuzz_targets ${target})
    else()
        set(inputs ${TAVI_FUZZ_REPLAY_INPUTS})
        if(DEFINED TAVI_FUZZ_REPLAY_DIVISOR_${name})
            math(EXPR inputs "${inputs} / ${TAVI_FUZZ_REPLAY_DIVISOR_${name}}")
        endif()
        add_executable(${target} ${source} ${TAVI_FUZZ_DIR}/replay_main.cpp)
        set(max_size 8192)
        if(DEFINED TAVI_FUZZ_REPLAY_MAX_SIZE_${name})
            set(max_size ${TAVI_FUZZ_REPLAY_MAX_SIZE_${name}})
        endif()
        add_test(NAME fuzz.${name}
            COMMAND ${target} --inputs=${inputs} --max-size=${max_size} ${TAVI_FUZZ_DIR}/corpus/${name})
        set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 300)
    endif()
    target_include_directories(${target} PRIVATE ${TAVI_FUZZ_DIR} ${TAVI_FUZZ_DIR}/..)
    target_link_libraries(${target} PRIVATE TaviSDK_internal)
endforeach()
