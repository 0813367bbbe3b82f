# zav_test(NAME SOURCES file... [LIBS lib...] [WINDOWS_ONLY] [NATIVE_ONLY]
#          [DISPLAY] [OWN_PREFIX] [SERIAL] [NO_GTEST_MAIN] [TIMEOUT seconds]
#          [ARGS arg...] [PEERS target...] [ENV NAME=value...] [LAUNCHER command...])
#
# One GoogleTest executable registered with CTest. Windows executables run
# under Wine through tools/wine-run.sh (the cross-compiling emulator).
# DISPLAY runs it under xvfb-run; OWN_PREFIX gives it a copy of the Wine prefix;
# SERIAL keeps it away from every other test (global names, shared keys).
# PEERS are helper programs (tests/support targets) it needs built first.
# LAUNCHER runs the test's command line as its child (a stand-in peer that
# lives exactly as long as the test).
set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT TARGET gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory("${GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
endif()

set(ZAV_TEST_PYTHON /usr/bin/python3)

function(zav_test name)
  cmake_parse_arguments(T "WINDOWS_ONLY;NATIVE_ONLY;DISPLAY;OWN_PREFIX;SERIAL;NO_GTEST_MAIN"
    "TIMEOUT" "SOURCES;LIBS;ARGS;PEERS;ENV;LAUNCHER" ${ARGN})
  if(T_WINDOWS_ONLY AND NOT WIN32)
    return()
  endif()
  if(T_NATIVE_ONLY AND WIN32)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_compile_options(${name} PRIVATE ${ZAV_WARNINGS})
  target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}")
  if(T_NO_GTEST_MAIN)
    target_link_libraries(${name} PRIVATE ${T_LIBS} zav_testsupport zav gtest gmock)
  else()
    target_link_libraries(${name} PRIVATE ${T_LIBS} zav_testsupport zav gtest_main gmock)
  endif()
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests")
  if(T_PEERS)
    add_dependencies(${name} ${T_PEERS})
  endif()

  set(cmd $<TARGET_FILE:${name}> ${T_ARGS})
  if(WIN32)
    set(runner "${CMAKE_SOURCE_DIR}/tools/wine-run.sh")
    if(T_OWN_PREFIX)
      list(APPEND runner --own-prefix)
    endif()
    if(T_DISPLAY)
      list(APPEND runner --display)
    endif()
    set(cmd ${runner} ${cmd})
  endif()
  set(cmd ${T_LAUNCHER} ${cmd})
  add_test(NAME ${name} COMMAND ${cmd})
  set_property(TEST ${name} PROPERTY ENVIRONMENT
    "ZAV_SOURCE_DIR=${CMAKE_SOURCE_DIR}" "ZAV_BINARY_DIR=${CMAKE_BINARY_DIR}"
    "ZAV_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" ${T_ENV})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_property(TEST ${name} PROPERTY TIMEOUT ${T_TIMEOUT})
  if(T_SERIAL)
    set_property(TEST ${name} PROPERTY RUN_SERIAL TRUE)
  endif()
  if(WIN32)
    # Wine's crash report fails a test whatever exit code the crashed program
    # ends with (under Wine it can be 0).
    set_property(TEST ${name} APPEND PROPERTY FAIL_REGULAR_EXPRESSION "Unhandled (page fault|exception)")
  endif()
endfunction()

# zav_test_program(NAME SOURCES file... [LIBS lib...] [CONSOLE|GUI])
# A helper program that tests start (Windows: a MinGW-built program, as Wine
# only places Windows programs in job objects with usable handles).
function(zav_test_program name)
  cmake_parse_arguments(P "GUI;UNICODE" "" "SOURCES;LIBS" ${ARGN})
  if(P_GUI)
    add_executable(${name} WIN32 ${P_SOURCES})
  else()
    add_executable(${name} ${P_SOURCES})
  endif()
  target_compile_options(${name} PRIVATE ${ZAV_WARNINGS})
  target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}")
  target_link_libraries(${name} PRIVATE ${P_LIBS} zav)
  if(P_UNICODE AND WIN32)
    target_link_options(${name} PRIVATE -municode)
  endif()
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests")
endfunction()
