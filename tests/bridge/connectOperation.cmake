# Runs as a child of the scenario server (the installer downloads) inside the
# stand-in backend. It trusts the server's test CA while it runs, which other
# tests of the shared prefix must not see.
zav_test(bridge_connect_operation_test WINDOWS_ONLY OWN_PREFIX
  SOURCES ${ZAV_TEST_DIR}/ConnectOperationTest.cpp
  LAUNCHER ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/conn_backend.py --exec
           ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/http_scenario_server.py --exec
  TIMEOUT 300)
