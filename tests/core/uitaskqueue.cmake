zav_test(core_uitaskqueue_test SOURCES ${ZAV_TEST_DIR}/UiTaskQueueTest.cpp TIMEOUT 60)
