# Native only: it runs the host's sha1sum over the same files.
if(NOT WIN32)
  add_executable(bench_update_local_check ${ZAV_BENCH_DIR}/update_local_check.cpp)
  target_include_directories(bench_update_local_check PRIVATE "${CMAKE_SOURCE_DIR}")
  target_compile_options(bench_update_local_check PRIVATE ${ZAV_WARNINGS})
  target_link_libraries(bench_update_local_check PRIVATE zav zav_testsupport)
  set_target_properties(bench_update_local_check PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bench")
endif()
