zav_test(core_text_test SOURCES ${ZAV_TEST_DIR}/TextTest.cpp)
