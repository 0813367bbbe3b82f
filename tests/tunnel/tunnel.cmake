set(tunnel_support ${ZAV_TEST_DIR}/TunnelTestSupport.cpp)
zav_test(tunnel_machine_test SOURCES ${ZAV_TEST_DIR}/OVPNMachineTest.cpp ${tunnel_support})
# The tests below write the machine's installation keys: a Wine prefix each.
set(tunnel_win_fixtures ${ZAV_TEST_DIR}/TunnelWinFixtures.cpp ${tunnel_support})
zav_test(tunnel_find_test SOURCES ${ZAV_TEST_DIR}/OVPNFindTest.cpp ${tunnel_win_fixtures} WINDOWS_ONLY OWN_PREFIX)
zav_test(tunnel_install_test SOURCES ${ZAV_TEST_DIR}/OVPNInstallTest.cpp ${tunnel_win_fixtures}
  WINDOWS_ONLY OWN_PREFIX PEERS ovpn_standin_installer TIMEOUT 240)
zav_test(tunnel_management_listener_test SOURCES ${ZAV_TEST_DIR}/ManagementListenerTest.cpp)
zav_test(tunnel_config_test SOURCES ${ZAV_TEST_DIR}/OVPNConfigTest.cpp)
zav_test(tunnel_management_protocol_test SOURCES ${ZAV_TEST_DIR}/ManagementProtocolTest.cpp)
zav_test(tunnel_tap_test SOURCES ${ZAV_TEST_DIR}/OVPNTapTest.cpp ${tunnel_win_fixtures}
  WINDOWS_ONLY OWN_PREFIX PEERS tapinstall)
# Debian's openvpn as the management client, on loopback only.
zav_test(tunnel_management_openvpn_test SOURCES ${ZAV_TEST_DIR}/ManagementOpenVpnTest.cpp NATIVE_ONLY TIMEOUT 120)
zav_test(tunnel_system_win_test SOURCES ${ZAV_TEST_DIR}/OVPNSystemWinTest.cpp WINDOWS_ONLY PEERS child_helper)
# The running tunnel against a scripted peer on loopback, served by the worker's loop.
zav_test(tunnel_established_test SOURCES ${ZAV_TEST_DIR}/OVPNEstablishedTest.cpp ${tunnel_support})
zav_test(tunnel_transcript_win_test SOURCES ${ZAV_TEST_DIR}/OVPNTranscriptWinTest.cpp ${tunnel_win_fixtures} WINDOWS_ONLY)
# The whole machine on the fixture installation and adapter, the stand-in as
# OpenVPN.exe relaying to the bridge: a real OpenVPN (root) and the scripts.
zav_test(tunnel_openvpn_win_test SOURCES ${ZAV_TEST_DIR}/OVPNOpenVpnWinTest.cpp ${tunnel_win_fixtures} LIBS iphlpapi
  WINDOWS_ONLY OWN_PREFIX PEERS ovpn_management_standin TIMEOUT 240
  LAUNCHER ${ZAV_OWN_NETNS_LAUNCHER} ${ZAV_OVPN_BRIDGE_LAUNCHER})
