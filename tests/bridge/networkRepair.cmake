# Places the stand-in netsh.exe and ipconfig.exe in the prefix's system
# folders (and takes them away), so it has a prefix of its own.
zav_test(bridge_network_repair_test WINDOWS_ONLY OWN_PREFIX
  SOURCES ${ZAV_TEST_DIR}/NetworkRepairOperationTest.cpp
  PEERS netsh_standin ipconfig_standin
  TIMEOUT 300)
