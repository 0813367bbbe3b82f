zav_test(core_eventloop_test SOURCES ${ZAV_TEST_DIR}/EventLoopTest.cpp)
