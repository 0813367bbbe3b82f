zav_test(service_inflate_test SOURCES ${ZAV_TEST_DIR}/InflateBodyTest.cpp)
