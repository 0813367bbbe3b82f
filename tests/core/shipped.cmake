# The programs in dist/ as shipped: stripped, their debug files beside them.
if(WIN32)
  add_test(NAME core_shipped_programs_test
    COMMAND /usr/bin/python3 "${ZAV_TEST_DIR}/shipped_programs_test.py" "${CMAKE_OBJDUMP}" "${CMAKE_BINARY_DIR}/dist"
      client.exe updater.exe)
endif()
