# The Python package (python/tavisdk) over the flat functions: its unit tests, which need no camera,
# its end-to-end test against one virtual camera, and the example program. They run Debian's
# interpreter, which sees Debian's python3-numpy, on the build tree's copy of the package, which
# finds this build's library by itself.
set(TAVI_PYTHON /usr/bin/python3)
set(TAVI_PYTHON_ENVIRONMENT
    PYTHONPATH=${PROJECT_BINARY_DIR}/python
    PYTHONDONTWRITEBYTECODE=1)

# A library built with sanitizers needs their runtime in the interpreter from its start. GCC's
# AddressSanitizer runtime is preloaded (the interpreter's own leaks at exit are not ours); the
# interpreter cannot carry ThreadSanitizer, nor clang's static sanitizer runtimes: in those builds the
# library is checked by the C++ tests alone.
set(TAVI_PYTHON_TESTS ON)
if(TAVI_SANITIZE STREQUAL "address" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
        OUTPUT_VARIABLE TAVI_ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND TAVI_PYTHON_ENVIRONMENT LD_PRELOAD=${TAVI_ASAN_RUNTIME} ASAN_OPTIONS=detect_leaks=0)
elseif(TAVI_SANITIZE)
    set(TAVI_PYTHON_TESTS OFF)
endif()

if(TAVI_PYTHON_TESTS)
    add_test(NAME python.unit
        COMMAND ${TAVI_PYTHON} -m unittest discover -s ${PROJECT_SOURCE_DIR}/python/tests
                -t ${PROJECT_SOURCE_DIR}/python/tests)
    set_tests_properties(python.unit PROPERTIES LABELS unit TIMEOUT 120
        ENVIRONMENT "${TAVI_PYTHON_ENVIRONMENT}" FAIL_REGULAR_EXPRESSION "Ran 0 tests")

    tavi_e2e_script_test(e2e.python TIMEOUT 300
        COMMAND ${TAVI_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/python_e2e_test.py -v
        NETNS --adapter tpy0,169.254.70.1/16
              --camera "tpy0,169.254.70.2/16,--serial TVP001 --mac 02:54:56:00:00:51"
        ENVIRONMENT ${TAVI_PYTHON_ENVIRONMENT}
        FAIL_REGULAR_EXPRESSION "Ran 0 tests")

    # The example a user starts from keeps working.
    tavi_e2e_script_test(e2e.python.example TIMEOUT 300
        COMMAND ${TAVI_PYTHON} ${PROJECT_SOURCE_DIR}/examples/python/capture_cloud.py
                --exposure 5000 --output ${CMAKE_CURRENT_BINARY_DIR}/python-example
        NETNS --adapter tpx0,169.254.71.1/16 --camera "tpx0,169.254.71.2/16,--serial TVP002"
        ENVIRONMENT ${TAVI_PYTHON_ENVIRONMENT}
        FAIL_REGULAR_EXPRESSION "Traceback")
endif()
