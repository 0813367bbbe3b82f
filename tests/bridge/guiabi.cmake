zav_test(bridge_gui_abi_test WINDOWS_ONLY
  SOURCES ${ZAV_TEST_DIR}/GuiAbiTest.cpp ${ZAV_TEST_DIR}/GuiAbiCaller.c)
if(TARGET bridge_gui_abi_test)
  # Under Wine a crashed test can still end with exit code 0.
  set_tests_properties(bridge_gui_abi_test PROPERTIES FAIL_REGULAR_EXPRESSION "Unhandled (page fault|exception)")
endif()
