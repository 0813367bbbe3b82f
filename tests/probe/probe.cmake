zav_test(probe_pinger_test SOURCES ${ZAV_TEST_DIR}/PingerTest.cpp TIMEOUT 120)
zav_test(probe_icmp_test SOURCES ${ZAV_TEST_DIR}/PingerICMPTest.cpp WINDOWS_ONLY TIMEOUT 120)
zav_test(probe_icmp_loopback_test SOURCES ${ZAV_TEST_DIR}/PingerRealIcmpTest.cpp WINDOWS_ONLY TIMEOUT 120)
# Inside a network namespace of the test's own (needs root).
zav_test(probe_icmp_netns_test SOURCES ${ZAV_TEST_DIR}/PingerNetnsTest.cpp WINDOWS_ONLY NO_GTEST_MAIN TIMEOUT 180
  LAUNCHER ${ZAV_TEST_DIR}/netns_run.sh)
