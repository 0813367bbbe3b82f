zav_test(update_manifest_test SOURCES ${ZAV_TEST_DIR}/UpdateManifestTest.cpp)

# The real hand-off from a stand-in client to the real updater.
if(WIN32)
  zav_test_program(update_handoff_client SOURCES ${ZAV_TEST_DIR}/HandoffClient.cpp LIBS zav_testsupport UNICODE)
zav_test(update_handoff_test WINDOWS_ONLY OWN_PREFIX SOURCES ${ZAV_TEST_DIR}/HandoffTest.cpp
  PEERS updater updater_stand_in_client update_handoff_client)
# The process jails itself in a job that forbids breakaway: its own executable.
zav_test(update_handoff_jail_test WINDOWS_ONLY SOURCES ${ZAV_TEST_DIR}/HandoffJailTest.cpp
  PEERS updater_stand_in_client)
endif()
