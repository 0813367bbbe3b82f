# The OpenVPN test peers: the stand-in OpenVPN.exe and the native bridge it
# relays to (tests/support/openvpn/bridge.py), with their own tests. A tunnel
# test starts the bridge as its launcher: LAUNCHER ${ZAV_OVPN_BRIDGE_LAUNCHER}.
set(ovpn_peers ${ZAV_TEST_DIR}/openvpn)
set(ZAV_OVPN_BRIDGE_LAUNCHER ${ZAV_TEST_PYTHON} ${ovpn_peers}/bridge.py --exec)
# A test whose tunnel checks who owns OpenVPN's management connection runs in
# a network namespace of its own (tests/support/own_netns.sh says why).
set(ZAV_OWN_NETNS_LAUNCHER bash ${ZAV_TEST_DIR}/own_netns.sh)
if(WIN32)
  zav_test_program(ovpn_management_standin SOURCES ${ovpn_peers}/OpenVpnStandIn.cpp LIBS ws2_32 UNICODE)
  # OvpnBridgeSession: the bridge's sessions from a Windows test.
  target_sources(zav_testsupport PRIVATE ${ovpn_peers}/OvpnBridgeSession.cpp)
  target_link_libraries(zav_testsupport PUBLIC ws2_32)
  zav_test(tunnel_ovpn_bridge_win_test SOURCES ${ovpn_peers}/OvpnBridgeWinTest.cpp LIBS iphlpapi
    WINDOWS_ONLY PEERS ovpn_management_standin TIMEOUT 180 LAUNCHER ${ZAV_OVPN_BRIDGE_LAUNCHER})
  add_test(NAME tunnel_ovpn_standin_test
    COMMAND ${ZAV_OVPN_BRIDGE_LAUNCHER} ${ZAV_TEST_PYTHON} ${ovpn_peers}/standin_wine_test.py
            $<TARGET_FILE:ovpn_management_standin>)
  set_tests_properties(tunnel_ovpn_standin_test PROPERTIES TIMEOUT 180
    ENVIRONMENT "ZAV_SOURCE_DIR=${CMAKE_SOURCE_DIR};ZAV_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
else()
  add_test(NAME tunnel_ovpn_bridge_script_test
    COMMAND ${ZAV_OVPN_BRIDGE_LAUNCHER} ${ZAV_TEST_PYTHON} ${ovpn_peers}/bridge_script_test.py)
  set_tests_properties(tunnel_ovpn_bridge_script_test PROPERTIES TIMEOUT 120)
  # Real openvpn client and server in a network namespace of the bridge: root.
  add_test(NAME tunnel_ovpn_bridge_real_test
    COMMAND ${ZAV_OVPN_BRIDGE_LAUNCHER} ${ZAV_TEST_PYTHON} ${ovpn_peers}/bridge_real_test.py)
  set_tests_properties(tunnel_ovpn_bridge_real_test PROPERTIES TIMEOUT 180 SKIP_RETURN_CODE 77)
endif()
