# HTTP(S) client: the URL and response-parser tables run on their own; the
# request and TLS tests run as children of the scenario server.
set(ZAV_HTTP_SCENARIO_LAUNCHER ${ZAV_TEST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/support/http_scenario_server.py --exec)
zav_test(service_http_url_test SOURCES ${ZAV_TEST_DIR}/HttpUrlTest.cpp)
zav_test(service_http_parser_test SOURCES ${ZAV_TEST_DIR}/HttpResponseParserTest.cpp ${ZAV_TEST_DIR}/FailingAllocation.cpp)
zav_test(service_http_thread_test SOURCES ${ZAV_TEST_DIR}/HttpThreadTest.cpp
  LAUNCHER ${ZAV_HTTP_SCENARIO_LAUNCHER} TIMEOUT 240)
zav_test(service_tls_stream_test SOURCES ${ZAV_TEST_DIR}/TlsStreamTest.cpp
  LAUNCHER ${ZAV_HTTP_SCENARIO_LAUNCHER} TIMEOUT 240)
zav_test(service_name_lookup_test SOURCES ${ZAV_TEST_DIR}/NameLookupTest.cpp TIMEOUT 120)
