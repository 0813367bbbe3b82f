zav_test(bridge_com_ref_count_test WINDOWS_ONLY SOURCES ${ZAV_TEST_DIR}/ComRefCountTest.cpp)
