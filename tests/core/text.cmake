zav_test(core_text_test SOURCES ${ZAV_TEST_DIR}/TextTest.cpp)
zav_test(core_comparable_path_test SOURCES ${ZAV_TEST_DIR}/ComparablePathTest.cpp)
