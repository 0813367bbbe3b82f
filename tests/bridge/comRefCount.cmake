zav_test(bridge_com_ref_count_test WINDOWS_ONLY SOURCES ${ZAV_TEST_DIR}/ComRefCountTest.cpp)
if(TARGET bridge_com_ref_count_test)
  # Under Wine a crashed test can still end with exit code 0.
  set_tests_properties(bridge_com_ref_count_test PROPERTIES FAIL_REGULAR_EXPRESSION "Unhandled (page fault|exception)")
endif()
