# Download throughput of HttpThread next to curl on the same local server
# (native only; it starts the scenario server itself): build/<dir>/bin/http_bench [MiB]
if(NOT WIN32)
  add_executable(http_bench ${ZAV_BENCH_DIR}/http.cpp)
  target_compile_options(http_bench PRIVATE ${ZAV_WARNINGS})
  target_compile_definitions(http_bench PRIVATE ZAV_TEST_SUPPORT_DIR="${CMAKE_SOURCE_DIR}/tests/support")
  # libcurl is the anchor of the figures only: nothing else links it.
  find_package(CURL REQUIRED)
  target_link_libraries(http_bench zav zav_testsupport CURL::libcurl)
  set_target_properties(http_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
endif()
