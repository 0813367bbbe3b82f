# Start-up and shut-down of the client, run as a test copy beside the
# stand-in hosting DLL "mscoree.dll" (never beside the shipped client in dist/).
if(WIN32)
  set(ZAV_HOSTING_DIR "${CMAKE_BINARY_DIR}/tests/hosting")
  set(zav_standin_sources
    ${CMAKE_SOURCE_DIR}/tests/support/hosting/StandIn.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/hosting/StandInHosting.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/hosting/StandInGui.cpp)

  # variant: full, or one with an export missing (for the client's look-ups).
  function(zav_standin_mscoree target variant)
    add_library(${target} SHARED ${zav_standin_sources})
    set_target_properties(${target} PROPERTIES OUTPUT_NAME mscoree PREFIX ""
      RUNTIME_OUTPUT_DIRECTORY "${ZAV_HOSTING_DIR}/${variant}"
      ARCHIVE_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests/hosting-lib/${variant}")
    target_include_directories(${target} PRIVATE "${CMAKE_SOURCE_DIR}")
    target_compile_options(${target} PRIVATE ${ZAV_WARNINGS})
    # Undecorated stdcall exports, as the runtime's own DLL has them.
    target_link_options(${target} PRIVATE -Wl,--kill-at)
    target_link_libraries(${target} PRIVATE zav_system)
    target_compile_definitions(${target} PRIVATE ${ARGN})
  endfunction()
  zav_standin_mscoree(zav_standin_mscoree full)
  zav_standin_mscoree(zav_standin_mscoree_no_create no-create ZAV_STANDIN_WITHOUT_CLR_CREATE)
  zav_standin_mscoree(zav_standin_mscoree_no_exit no-exit ZAV_STANDIN_WITHOUT_EXIT)

  # The test copy of the client: the same program as dist/client.exe.
  add_executable(zav_client_testcopy WIN32 ${CMAKE_SOURCE_DIR}/core/start/win/ClientMain.cpp
    ${CMAKE_SOURCE_DIR}/core/start/win/ClientSeams.cpp ${CMAKE_SOURCE_DIR}/core/start/win/client.rc)
  target_link_options(zav_client_testcopy PRIVATE -municode)
  target_compile_options(zav_client_testcopy PRIVATE ${ZAV_WARNINGS})
  target_link_libraries(zav_client_testcopy PRIVATE zav)
  set_target_properties(zav_client_testcopy PROPERTIES OUTPUT_NAME client
    RUNTIME_OUTPUT_DIRECTORY "${ZAV_HOSTING_DIR}")

  # The tunnel test copy: the same main with the seams of
  # tests/support/hosting/TunnelClientSeams.cpp (the tunnel's real system but
  # a recorded network configuration and Wine's connection owners).
  add_executable(zav_client_tunnelcopy WIN32 ${CMAKE_SOURCE_DIR}/core/start/win/ClientMain.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/hosting/TunnelClientSeams.cpp ${CMAKE_SOURCE_DIR}/core/start/win/client.rc)
  target_link_options(zav_client_tunnelcopy PRIVATE -municode)
  target_compile_options(zav_client_tunnelcopy PRIVATE ${ZAV_WARNINGS})
  target_link_libraries(zav_client_tunnelcopy PRIVATE zav iphlpapi)
  set_target_properties(zav_client_tunnelcopy PROPERTIES OUTPUT_NAME client
    RUNTIME_OUTPUT_DIRECTORY "${ZAV_HOSTING_DIR}/tunnel")

  # Own prefix: the single-instance mutex and the runtime's registry value
  # are machine-wide.
  zav_test(core_startup_test WINDOWS_ONLY OWN_PREFIX SOURCES ${ZAV_TEST_DIR}/StartupTest.cpp
    PEERS zav_client_testcopy zav_standin_mscoree zav_standin_mscoree_no_create zav_standin_mscoree_no_exit
    TIMEOUT 600)
endif()
if(WIN32)
  # Children inherit the Unix environment's overrides: only the stand-in
  # beside the client may load as mscoree, never Wine's own.
  set_property(TEST core_startup_test APPEND PROPERTY ENVIRONMENT "WINEDLLOVERRIDES=mscoree=n\\;mshtml=")
endif()
if(WIN32)
  # Its client reaches the built-in ports, where the connect road's peers may run.
  set_property(TEST core_startup_test APPEND PROPERTY RESOURCE_LOCK zav_builtin_ports)
endif()
