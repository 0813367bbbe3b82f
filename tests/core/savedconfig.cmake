zav_test(core_savedconfig_test SOURCES ${ZAV_TEST_DIR}/SavedConfigTest.cpp)
zav_test(core_savedconfig_file_test SOURCES ${ZAV_TEST_DIR}/SavedConfigFileTest.cpp WINDOWS_ONLY PEERS protect_tool child_helper)
