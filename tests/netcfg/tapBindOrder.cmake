# The TCP/IP binding-order rewrite of the own TAP adapter (portable).
zav_test(netcfg_tap_bind_order_test SOURCES ${ZAV_TEST_DIR}/TapBindOrderTest.cpp)
