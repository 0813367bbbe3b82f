zav_test(core_dispatcher_test WINDOWS_ONLY SOURCES ${ZAV_TEST_DIR}/DispatcherTest.cpp TIMEOUT 120)
