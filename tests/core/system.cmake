zav_test(core_system_test WINDOWS_ONLY SOURCES ${ZAV_TEST_DIR}/SystemTest.cpp)
# TZ in the runtime's own form, so local times have summer time.
zav_test(core_logs_test WINDOWS_ONLY SOURCES ${ZAV_TEST_DIR}/LogsTest.cpp ENV TZ=CET-1CEST)

# fatalError's own ending: the message box text (seen through Wine's relay
# log) and exit code 1, from a program that calls it.
if(WIN32)
  zav_test_program(fatal_probe SOURCES ${ZAV_TEST_DIR}/FatalProbe.cpp UNICODE)
  add_test(NAME core_fatal_message_test
    COMMAND bash "${ZAV_TEST_DIR}/fatal_message_test.sh" "${CMAKE_SOURCE_DIR}" $<TARGET_FILE:fatal_probe>)
  set_tests_properties(core_fatal_message_test PROPERTIES
    ENVIRONMENT "ZAV_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" TIMEOUT 120)
endif()
zav_test(core_winhandle_test WINDOWS_ONLY SOURCES ${ZAV_TEST_DIR}/WinHandleTest.cpp)
# Unix links made from the Linux side, which Wine shows as links.
zav_test(core_link_checks_test WINDOWS_ONLY SOURCES ${ZAV_TEST_DIR}/LinkChecksTest.cpp
  LAUNCHER ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/link_fixture.py)
