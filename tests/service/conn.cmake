# The channel tests run as children of the stand-in backend.
set(ZAV_CONN_BACKEND_LAUNCHER ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/conn_backend.py --exec)
zav_test(service_conn_thread_test SOURCES ${ZAV_TEST_DIR}/ConnThreadTest.cpp ${ZAV_TEST_DIR}/FailingAllocation.cpp
  LAUNCHER ${ZAV_CONN_BACKEND_LAUNCHER} TIMEOUT 180)
zav_test(service_api_test SOURCES ${ZAV_TEST_DIR}/ApiTest.cpp
  LAUNCHER ${ZAV_CONN_BACKEND_LAUNCHER} TIMEOUT 120)
zav_test(service_conn_receiver_test SOURCES ${ZAV_TEST_DIR}/ConnReceiverTest.cpp ${ZAV_TEST_DIR}/FailingAllocation.cpp)
