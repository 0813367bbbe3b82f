# The runtime installer window (Windows only). The window test runs on a
# display, as a child of the scenario server that also serves the stand-in
# installer program. Its Wine prefix is its own: a prefix's desktop process
# keeps the display of whichever program started it first.
if(WIN32)
  zav_test_program(dotnet_standin_installer SOURCES ${ZAV_TEST_DIR}/DotNetStandInInstaller.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/win/SeenFolders.cpp UNICODE)
  # Downloaded in every case: without its debug information it is a tenth the size.
  target_link_options(dotnet_standin_installer PRIVATE -s)
  zav_test(core_dotnet_setup_test SOURCES ${ZAV_TEST_DIR}/DotNetSetupTest.cpp
    DISPLAY OWN_PREFIX NO_GTEST_MAIN PEERS dotnet_standin_installer TIMEOUT 300
    LAUNCHER ${ZAV_TEST_PYTHON} ${ZAV_TEST_DIR}/dotnet_installer_server.py
      $<TARGET_FILE:dotnet_standin_installer> --exec)
  # Writes the machine's framework key: a Wine prefix of its own.
  zav_test(core_dotnet_release_test SOURCES ${ZAV_TEST_DIR}/DotNetReleaseTest.cpp OWN_PREFIX)
endif()
