# Receive-thread time per block when one packet of every block never comes back, beside the same
# blocks without loss (prints a table; not a test). No network: the receiver's steps are driven
# directly with a simulated 1 Gbit/s clock.
add_executable(resend_check_bench ${CMAKE_CURRENT_LIST_DIR}/resend_check_bench.cpp)
target_link_libraries(resend_check_bench PRIVATE TaviSDK_internal)
