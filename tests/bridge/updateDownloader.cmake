# Update files come from the stand-in download server, a stalling body from
# the scenario server; the hand-off creates the one fixed shared-memory name.
zav_test(update_downloader_test WINDOWS_ONLY OWN_PREFIX
  SOURCES ${ZAV_TEST_DIR}/UpdateDownloaderTest.cpp
  PEERS updater_stand_in_client
  LAUNCHER ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/download_server.py --exec
           ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/http_scenario_server.py --exec
  TIMEOUT 240)
