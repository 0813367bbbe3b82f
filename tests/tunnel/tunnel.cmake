zav_test(tunnel_machine_test SOURCES ${ZAV_TEST_DIR}/OVPNMachineTest.cpp)
