# The own TAP adapter against a class key, Linkage key and device folder of
# the test's own: it writes HKLM, so it has a Wine prefix of its own.
zav_test(netcfg_tap_adapter_test SOURCES ${ZAV_TEST_DIR}/TapAdapterTest.cpp WINDOWS_ONLY OWN_PREFIX
  PEERS tapinstall)
