zav_test(core_savedconfig_test SOURCES ${ZAV_TEST_DIR}/SavedConfigTest.cpp)
