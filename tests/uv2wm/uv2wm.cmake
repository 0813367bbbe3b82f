zav_test(uv2wm_test SOURCES ${ZAV_TEST_DIR}/Uv2wmTest.cpp)
