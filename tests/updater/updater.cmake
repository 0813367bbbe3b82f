# The updater's logic as a library for the tests: every updater source but its
# wmain, so updater.exe itself stays free of the client's library.
file(GLOB updater_logic_sources CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/updater/*.cpp")
if(WIN32)
  file(GLOB updater_win_sources CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/updater/win/*.cpp")
  list(FILTER updater_win_sources EXCLUDE REGEX "/UpdaterMain\\.cpp$")
  list(APPEND updater_logic_sources ${updater_win_sources})
endif()
add_library(zav_updater_logic STATIC ${updater_logic_sources})
target_include_directories(zav_updater_logic PUBLIC "${CMAKE_SOURCE_DIR}")
target_compile_options(zav_updater_logic PRIVATE ${ZAV_WARNINGS})
target_link_libraries(zav_updater_logic PUBLIC zav_deps)

zav_test(updater_block_reader_test SOURCES ${ZAV_TEST_DIR}/BlockReaderTest.cpp LIBS zav_updater_logic)

if(WIN32)
  zav_test_program(updater_stand_in_client SOURCES ${ZAV_TEST_DIR}/StandInClient.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/win/SeenFolders.cpp UNICODE)
  # Creates the one fixed shared-memory name: a prefix of its own.
  zav_test(updater_run_test WINDOWS_ONLY OWN_PREFIX
    SOURCES ${ZAV_TEST_DIR}/UpdaterRunTest.cpp
    LIBS zav_updater_logic
    PEERS updater updater_stand_in_client
    LAUNCHER ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/link_fixture.py)
endif()
