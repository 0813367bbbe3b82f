set(quote_peers)
if(WIN32)
  set(quote_peers PEERS child_helper)
endif()
zav_test(core_childprocess_quote_test SOURCES ${ZAV_TEST_DIR}/ChildProcessQuoteTest.cpp ${quote_peers})
# OWN_PREFIX: the runner's tests put a tool into the prefix's system folder.
zav_test(core_childprocess_test SOURCES ${ZAV_TEST_DIR}/ChildProcessTest.cpp WINDOWS_ONLY OWN_PREFIX PEERS child_helper)
# The process jails itself in a job that forbids breakaway: its own executable.
zav_test(core_childprocess_jail_test SOURCES ${ZAV_TEST_DIR}/ChildProcessJailTest.cpp WINDOWS_ONLY PEERS child_helper)
# The environment block every child gets, natively under the sanitizers too.
zav_test(core_environment_block_test SOURCES ${ZAV_TEST_DIR}/EnvironmentBlockTest.cpp)
