zav_test(core_json_test SOURCES ${ZAV_TEST_DIR}/JsonTest.cpp)
