# Runs as a child of the stand-in backend; the real echoes in a program of
# their own.
zav_test(bridge_main_controller_test WINDOWS_ONLY
  SOURCES ${ZAV_TEST_DIR}/FormMainControllerTest.cpp
  ARGS --gtest_filter=-*RealProbes*
  LAUNCHER ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/conn_backend.py --exec
  TIMEOUT 300)
zav_test(bridge_main_controller_probe_test WINDOWS_ONLY
  SOURCES ${ZAV_TEST_DIR}/FormMainControllerTest.cpp
  ARGS --gtest_filter=*RealProbes*
  LAUNCHER ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/conn_backend.py --exec
  TIMEOUT 120)
