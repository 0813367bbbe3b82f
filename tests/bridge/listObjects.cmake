zav_test(bridge_list_objects_test WINDOWS_ONLY
  SOURCES ${ZAV_TEST_DIR}/ListObjectsTest.cpp ${ZAV_TEST_DIR}/GuiAbiCaller.c)
