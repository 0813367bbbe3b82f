zav_test(probe_pinger_test SOURCES ${ZAV_TEST_DIR}/PingerTest.cpp TIMEOUT 120)
