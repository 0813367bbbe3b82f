zav_test(probe_pinger_test SOURCES ${ZAV_TEST_DIR}/PingerTest.cpp TIMEOUT 120)
zav_test(probe_icmp_test SOURCES ${ZAV_TEST_DIR}/PingerICMPTest.cpp WINDOWS_ONLY TIMEOUT 120)
zav_test(probe_icmp_loopback_test SOURCES ${ZAV_TEST_DIR}/PingerRealIcmpTest.cpp WINDOWS_ONLY TIMEOUT 120)
