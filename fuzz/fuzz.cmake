# libFuzzer targets, one per entry point of outside input (the fuzz preset).
# Each CTest entry replays fuzz/corpus/<name>/ and then fuzzes with a fixed
# seed for a fixed number of runs, cut short at a fixed time (so the time limit
# of the test is never what ends it); tools/fuzz-long.sh runs them at random.
set(ZAV_FUZZ_DIR "${CMAKE_SOURCE_DIR}/fuzz")
set(ZAV_FUZZ_SECONDS 60 CACHE STRING "Longest seeded fuzz run of each CTest entry, in seconds")

# zav_fuzz(NAME RUNS count MAX_LEN bytes SOURCES file...)
function(zav_fuzz name)
  cmake_parse_arguments(F "" "RUNS;MAX_LEN" "SOURCES" ${ARGN})
  add_executable(fuzz_${name} ${F_SOURCES})
  target_compile_options(fuzz_${name} PRIVATE ${ZAV_WARNINGS})
  target_include_directories(fuzz_${name} PRIVATE "${CMAKE_SOURCE_DIR}")
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(fuzz_${name} PRIVATE zav)
  set_target_properties(fuzz_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/fuzz")
  add_test(NAME fuzz_${name}
    COMMAND "${ZAV_FUZZ_DIR}/replay.sh" $<TARGET_FILE:fuzz_${name}> "${ZAV_FUZZ_DIR}/corpus/${name}"
            "${CMAKE_BINARY_DIR}/fuzz/work/${name}" ${F_RUNS} ${F_MAX_LEN} ${ZAV_FUZZ_SECONDS})
  # The corpus replay and start-up come on top of the fuzzing time; a loaded
  # machine may take several times as long for them.
  math(EXPR limit "${ZAV_FUZZ_SECONDS} * 2 + 120")
  set_property(TEST fuzz_${name} PROPERTY TIMEOUT ${limit})
endfunction()

zav_fuzz(api_reply RUNS 60000 MAX_LEN 4096 SOURCES ${ZAV_FUZZ_DIR}/ApiReplyFuzz.cpp)
zav_fuzz(conn_reply RUNS 20000 MAX_LEN 4096 SOURCES ${ZAV_FUZZ_DIR}/ConnReplyFuzz.cpp)
zav_fuzz(http_response RUNS 60000 MAX_LEN 4096 SOURCES ${ZAV_FUZZ_DIR}/HttpResponseFuzz.cpp)
zav_fuzz(inflate_body RUNS 40000 MAX_LEN 4096 SOURCES ${ZAV_FUZZ_DIR}/InflateBodyFuzz.cpp)
zav_fuzz(parse_url RUNS 100000 MAX_LEN 512 SOURCES ${ZAV_FUZZ_DIR}/ParseUrlFuzz.cpp)
zav_fuzz(update_manifest RUNS 40000 MAX_LEN 4096 SOURCES ${ZAV_FUZZ_DIR}/UpdateManifestFuzz.cpp)
zav_fuzz(block_reader RUNS 100000 MAX_LEN 4096
  SOURCES ${ZAV_FUZZ_DIR}/BlockReaderFuzz.cpp ${CMAKE_SOURCE_DIR}/updater/BlockReader.cpp)
zav_fuzz(text RUNS 100000 MAX_LEN 1024 SOURCES ${ZAV_FUZZ_DIR}/TextFuzz.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/ManifestSigner.cpp ${CMAKE_SOURCE_DIR}/tests/support/TestFiles.cpp)
zav_fuzz(saved_config RUNS 60000 MAX_LEN 8192 SOURCES ${ZAV_FUZZ_DIR}/SavedConfigFuzz.cpp)
target_compile_definitions(fuzz_text PRIVATE ZAV_TEST_KEYS_DIR="${CMAKE_SOURCE_DIR}/tests/keys"
  ZAV_TEST_SUPPORT_DIR="${CMAKE_SOURCE_DIR}/tests/support")
zav_fuzz(tap_bind_order RUNS 100000 MAX_LEN 4096 SOURCES ${ZAV_FUZZ_DIR}/TapBindOrderFuzz.cpp)
zav_fuzz(management_lines RUNS 100000 MAX_LEN 4096 SOURCES ${ZAV_FUZZ_DIR}/ManagementLinesFuzz.cpp)
zav_fuzz(account_answers RUNS 60000 MAX_LEN 4096 SOURCES ${ZAV_FUZZ_DIR}/AccountAnswersFuzz.cpp)
zav_fuzz(route_table RUNS 60000 MAX_LEN 4096 SOURCES ${ZAV_FUZZ_DIR}/RouteTableFuzz.cpp)
zav_fuzz(name_servers RUNS 100000 MAX_LEN 1024 SOURCES ${ZAV_FUZZ_DIR}/NameServersFuzz.cpp)
zav_fuzz(dns_record RUNS 100000 MAX_LEN 2048 SOURCES ${ZAV_FUZZ_DIR}/DnsRecordFuzz.cpp)
