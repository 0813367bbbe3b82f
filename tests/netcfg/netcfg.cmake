zav_test(netcfg_routes_test SOURCES ${ZAV_TEST_DIR}/RoutesTest.cpp)
