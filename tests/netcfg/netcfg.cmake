zav_test(netcfg_routes_test SOURCES ${ZAV_TEST_DIR}/RoutesTest.cpp)
zav_test(netcfg_dns_test SOURCES ${ZAV_TEST_DIR}/DnsTest.cpp)
# OWN_PREFIX: a stand-in netsh.exe goes into the prefix's system folders.
zav_test(netcfg_dns_win_test SOURCES ${ZAV_TEST_DIR}/DnsWinTest.cpp WINDOWS_ONLY OWN_PREFIX PEERS netsh_standin)
zav_test(netcfg_wmi_metric_test SOURCES ${ZAV_TEST_DIR}/WmiMetricTest.cpp WINDOWS_ONLY)
# The real table read under Wine, inside a network namespace of the test's own
# whose prefix's wineserver starts there.
zav_test(netcfg_namespace_table_test SOURCES ${ZAV_TEST_DIR}/NamespaceTableTest.cpp WINDOWS_ONLY OWN_PREFIX SERIAL
  LAUNCHER bash ${ZAV_TEST_DIR}/netns_table.sh)
if(WIN32)
  set_property(TEST netcfg_namespace_table_test PROPERTY SKIP_RETURN_CODE 77)
endif()
