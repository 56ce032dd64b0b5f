# The tavi tool end to end: usage texts, exit codes, and list, info and capture against one virtual
# camera.
add_test(NAME e2e.tavi
    COMMAND ${TAVI_NETNS_RUN} --adapter tvt0,169.254.60.1/16
            --camera "tvt0,169.254.60.2/16,--serial TVT001 --mac 02:54:56:00:00:41"
            -- bash ${CMAKE_CURRENT_LIST_DIR}/tavi_smoke_test.sh $<TARGET_FILE:tavi>)
set_tests_properties(e2e.tavi PROPERTIES LABELS e2e TIMEOUT 180)
