zav_test(probe_pinger_test SOURCES ${ZAV_TEST_DIR}/PingerTest.cpp TIMEOUT 120)
zav_test(probe_icmp_test SOURCES ${ZAV_TEST_DIR}/PingerICMPTest.cpp WINDOWS_ONLY TIMEOUT 120)
zav_test(probe_icmp_loopback_test SOURCES ${ZAV_TEST_DIR}/PingerRealIcmpTest.cpp WINDOWS_ONLY TIMEOUT 120)
# Inside a network namespace of the test's own (needs root).
zav_test(probe_icmp_netns_test SOURCES ${ZAV_TEST_DIR}/PingerNetnsTest.cpp WINDOWS_ONLY NO_GTEST_MAIN TIMEOUT 180
  LAUNCHER ${ZAV_TEST_DIR}/netns_run.sh)
# The same echoes under Wine's heap checking, which fails the run on any write
# into a freed block (needs root).
zav_test(probe_icmp_heap_test SOURCES ${ZAV_TEST_DIR}/PingerIcmpHeapTest.cpp WINDOWS_ONLY TIMEOUT 180
  LAUNCHER ${ZAV_TEST_DIR}/heap_checked_run.sh)
