# Turns the build inputs into BuildConfig.h.
set(ZAV_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
foreach(pem SERVICE_KEY_PEM LOG_KEY_PEM)
  file(READ "${${pem}}" pem_text)
  string(STRIP "${pem_text}" pem_text)
  string(REPLACE "\n" "\\n\"\n    \"" pem_text "${pem_text}")
  set(${pem}_TEXT "\"${pem_text}\"")
endforeach()
configure_file("${CMAKE_SOURCE_DIR}/core/BuildConfig.h.in" "${ZAV_GENERATED_DIR}/BuildConfig.h" @ONLY)
