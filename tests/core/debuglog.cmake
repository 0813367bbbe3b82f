zav_test(core_debuglog_test SOURCES ${ZAV_TEST_DIR}/DebugLogTest.cpp)
