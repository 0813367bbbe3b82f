zav_test(update_manifest_test SOURCES ${ZAV_TEST_DIR}/UpdateManifestTest.cpp ${ZAV_TEST_DIR}/ManifestSigner.cpp)

# Update files come from the stand-in download server, a stalling body from
# the scenario server; the hand-off creates the one fixed shared-memory name.
zav_test(update_downloader_test WINDOWS_ONLY OWN_PREFIX
  SOURCES ${ZAV_TEST_DIR}/UpdateDownloaderTest.cpp ${ZAV_TEST_DIR}/ManifestSigner.cpp ${ZAV_TEST_DIR}/WinTestFolder.cpp
  PEERS updater_stand_in_client
  LAUNCHER ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/download_server.py --exec
           ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/http_scenario_server.py --exec
  TIMEOUT 240)

# The real hand-off from a stand-in client to the real updater.
if(WIN32)
  zav_test_program(update_handoff_client SOURCES ${ZAV_TEST_DIR}/HandoffClient.cpp ${ZAV_TEST_DIR}/ManifestSigner.cpp
  LIBS zav_testsupport UNICODE)
zav_test(update_handoff_test WINDOWS_ONLY OWN_PREFIX SOURCES ${ZAV_TEST_DIR}/HandoffTest.cpp ${ZAV_TEST_DIR}/WinTestFolder.cpp
  PEERS updater updater_stand_in_client update_handoff_client)
endif()
