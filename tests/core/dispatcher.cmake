zav_test(core_dispatcher_test WINDOWS_ONLY SOURCES ${ZAV_TEST_DIR}/DispatcherTest.cpp TIMEOUT 120)
# With a real channel: the test runs as a child of the stand-in backend.
zav_test(core_dispatcher_channel_test WINDOWS_ONLY SOURCES ${ZAV_TEST_DIR}/DispatcherChannelTest.cpp
  LAUNCHER ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/conn_backend.py --exec TIMEOUT 120)
