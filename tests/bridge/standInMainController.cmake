zav_test(bridge_stand_in_main_controller_test WINDOWS_ONLY SOURCES ${ZAV_TEST_DIR}/StandInMainControllerTest.cpp)
if(TARGET bridge_stand_in_main_controller_test)
  # Under Wine a crashed test can still end with exit code 0.
  set_tests_properties(bridge_stand_in_main_controller_test PROPERTIES
    FAIL_REGULAR_EXPRESSION "Unhandled (page fault|exception)")
endif()
