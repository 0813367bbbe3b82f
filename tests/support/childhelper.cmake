# Helper programs started by tests (Windows only: they are children of tests
# running under Wine).
if(WIN32)
  zav_test_program(child_helper SOURCES ${ZAV_TEST_DIR}/programs/ChildHelper.cpp ${ZAV_TEST_DIR}/win/SeenFolders.cpp
    UNICODE)
  zav_test_program(protect_tool SOURCES ${ZAV_TEST_DIR}/programs/ProtectTool.cpp UNICODE)
  # The demo run's manifest, signed by the tests' one signer.
  zav_test_program(make_manifest SOURCES ${ZAV_TEST_DIR}/programs/MakeManifest.cpp LIBS zav_testsupport UNICODE)
  zav_test_program(tapinstall SOURCES ${ZAV_TEST_DIR}/programs/TapInstall.cpp ${ZAV_TEST_DIR}/win/TapFixture.cpp
    ${ZAV_TEST_DIR}/win/SeenFolders.cpp UNICODE)
endif()
if(WIN32)
  zav_test_program(netsh_standin SOURCES ${ZAV_TEST_DIR}/programs/NetshStandIn.cpp
    ${ZAV_TEST_DIR}/programs/SystemToolStandIn.cpp ${ZAV_TEST_DIR}/win/SeenFolders.cpp UNICODE)
  zav_test_program(ipconfig_standin SOURCES ${ZAV_TEST_DIR}/programs/IpconfigStandIn.cpp
    ${ZAV_TEST_DIR}/programs/SystemToolStandIn.cpp ${ZAV_TEST_DIR}/win/SeenFolders.cpp UNICODE)
  # The stand-in OpenVPN installer: its bytes are what the tunnel tests hand
  # the machine to install, so it is stripped.
  zav_test_program(ovpn_standin_installer SOURCES ${ZAV_TEST_DIR}/programs/OvpnStandInInstaller.cpp UNICODE)
  target_link_options(ovpn_standin_installer PRIVATE -s)
endif()
