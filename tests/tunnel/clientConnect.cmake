# The connect road through the whole client: its tunnel test copy beside the
# stand-in hosting DLL and GUI, the demo backend and download servers on the
# client's built-in ports, the OpenVPN bridge's real client and server (root).
# The install road's signed installer and its CA are the signature test's
# fixtures.
if(WIN32)
  zav_test(tunnel_client_connect_test SOURCES ${ZAV_TEST_DIR}/ClientConnectWinTest.cpp
    ${ZAV_TEST_DIR}/TunnelWinFixtures.cpp ${ZAV_TEST_DIR}/TunnelTestSupport.cpp
    WINDOWS_ONLY OWN_PREFIX TIMEOUT 600
    PEERS zav_client_tunnelcopy zav_standin_mscoree ovpn_management_standin ovpn_standin_installer
          installer_signature_fixtures netsh_standin
    LAUNCHER ${ZAV_OVPN_BRIDGE_LAUNCHER} ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/demo_peers.py --exec)
  # Only the stand-in beside the client may load as mscoree, never Wine's own.
  set_property(TEST tunnel_client_connect_test APPEND PROPERTY ENVIRONMENT "WINEDLLOVERRIDES=mscoree=n\\;mshtml=")
endif()
if(WIN32)
  # tools/run-client.sh's prefix: the fixture OpenVPN and TAP-Windows.
  zav_test_program(demo_tunnel_prefix SOURCES ${ZAV_TEST_DIR}/DemoTunnelPrefix.cpp ${ZAV_TEST_DIR}/TunnelWinFixtures.cpp
    LIBS zav_testsupport UNICODE)
endif()
if(WIN32)
  # Its peers take the client's built-in ports, which the start-up test's
  # client reaches too.
  set_property(TEST tunnel_client_connect_test APPEND PROPERTY RESOURCE_LOCK zav_builtin_ports)
endif()
