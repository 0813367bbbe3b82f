# Runs as a child of the stand-in backend.
zav_test(bridge_main_controller_test WINDOWS_ONLY
  SOURCES ${ZAV_TEST_DIR}/FormMainControllerTest.cpp
  LAUNCHER ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/conn_backend.py --exec
  TIMEOUT 300)
