zav_test(netcfg_routes_test SOURCES ${ZAV_TEST_DIR}/RoutesTest.cpp)
zav_test(netcfg_dns_test SOURCES ${ZAV_TEST_DIR}/DnsTest.cpp)
# OWN_PREFIX: a stand-in netsh.exe goes into the prefix's system folders.
zav_test(netcfg_dns_win_test SOURCES ${ZAV_TEST_DIR}/DnsWinTest.cpp WINDOWS_ONLY OWN_PREFIX PEERS netsh_standin)
zav_test(netcfg_wmi_metric_test SOURCES ${ZAV_TEST_DIR}/WmiMetricTest.cpp WINDOWS_ONLY)
