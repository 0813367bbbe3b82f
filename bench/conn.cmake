# Backend channel throughput against the stand-in backend (started by the
# program itself, so native only): build/<dir>/bin/conn_bench [round trips] [replies]
if(NOT WIN32)
  add_executable(conn_bench ${ZAV_BENCH_DIR}/conn.cpp)
  target_compile_options(conn_bench PRIVATE ${ZAV_WARNINGS})
  target_link_libraries(conn_bench zav zav_testsupport)
  set_target_properties(conn_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
endif()
