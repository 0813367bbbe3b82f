# Signed copies of the stand-in installer, made from the test keys at build
# time; the test puts their CA into the machine's root store, so it has a
# prefix of its own.
if(WIN32)
  set(signature_fixtures ${CMAKE_BINARY_DIR}/tests/installer-signature)
  add_custom_command(
    OUTPUT ${signature_fixtures}/ca.der ${signature_fixtures}/signed.exe
           ${signature_fixtures}/untrusted-root.exe ${signature_fixtures}/unknown-issuer.exe
    COMMAND ${CMAKE_SOURCE_DIR}/tests/support/sign_program.sh $<TARGET_FILE:ovpn_standin_installer>
            ${CMAKE_SOURCE_DIR}/tests/keys ${signature_fixtures}
    DEPENDS ovpn_standin_installer ${CMAKE_SOURCE_DIR}/tests/support/sign_program.sh
            ${CMAKE_SOURCE_DIR}/tests/keys/codesign-ca-private.pem
            ${CMAKE_SOURCE_DIR}/tests/keys/codesign-other-ca-private.pem
            ${CMAKE_SOURCE_DIR}/tests/keys/codesign-signer-private.pem
    VERBATIM)
  add_custom_target(installer_signature_fixtures DEPENDS ${signature_fixtures}/signed.exe)
endif()
zav_test(bridge_installer_signature_test WINDOWS_ONLY OWN_PREFIX
  SOURCES ${ZAV_TEST_DIR}/InstallerSignatureTest.cpp
  PEERS installer_signature_fixtures ovpn_standin_installer)
