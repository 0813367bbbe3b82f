# The controller tests run as children of the stand-in download server and,
# inside it, of the stand-in backend.
zav_test(bridge_login_controller_test WINDOWS_ONLY
  SOURCES ${ZAV_TEST_DIR}/FormLoginControllerTest.cpp
  LAUNCHER ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/download_server.py --exec
           ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/conn_backend.py --exec
  TIMEOUT 300)
