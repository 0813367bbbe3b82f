zav_test(bridge_gui_abi_test WINDOWS_ONLY
  SOURCES ${ZAV_TEST_DIR}/GuiAbiTest.cpp ${ZAV_TEST_DIR}/GuiAbiCaller.c)
