# zav_deps: the third-party libraries, for whichever flavour is being built.
add_library(zav_deps INTERFACE)
add_library(zav_system INTERFACE)

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(ZAV_ARCH x86_64)
  else()
    set(ZAV_ARCH i686)
  endif()
  set(ZAV_DEPS_PREFIX "${CMAKE_SOURCE_DIR}/.deps/${ZAV_ARCH}" CACHE PATH "MinGW builds of libuv, mbedTLS, http-parser")
  if(NOT EXISTS "${ZAV_DEPS_PREFIX}/lib/libuv.a")
    message(FATAL_ERROR "MinGW dependencies missing in ${ZAV_DEPS_PREFIX}: run tools/setup.sh")
  endif()
  target_compile_definitions(zav_system INTERFACE _WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE NOMINMAX)
  target_link_options(zav_system INTERFACE -static -static-libgcc -static-libstdc++)
  target_link_libraries(zav_system INTERFACE ntdll shlwapi ole32 oleaut32 uuid advapi32 crypt32 wintrust iphlpapi ws2_32 userenv dbghelp comctl32 wbemuuid shell32 user32 gdi32)
  target_include_directories(zav_deps SYSTEM INTERFACE "${ZAV_DEPS_PREFIX}/include" "${ZAV_DEPS_PREFIX}/include-headeronly")
  target_link_libraries(zav_deps INTERFACE
    "${ZAV_DEPS_PREFIX}/lib/libuv.a"
    "${ZAV_DEPS_PREFIX}/lib/libmbedtls.a"
    "${ZAV_DEPS_PREFIX}/lib/libmbedx509.a"
    "${ZAV_DEPS_PREFIX}/lib/libmbedcrypto.a"
    "${ZAV_DEPS_PREFIX}/lib/libhttp_parser.a"
    z
    zav_system)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(UV REQUIRED IMPORTED_TARGET libuv)
  find_package(ZLIB REQUIRED)
  # The native flavour exists to run the portable code under the sanitizers;
  # only the benchmark build turns them off.
  option(ZAV_SANITIZE "Build the native flavour with ASan and UBSan" ON)
  if(ZAV_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
  endif()
  if(ZAV_FUZZ)
    # Every source, http-parser's too, carries libFuzzer's coverage so the
    # fuzzer sees inside the parsers; the targets add the fuzzer's main.
    add_compile_options(-fsanitize=fuzzer-no-link "-fsanitize-ignorelist=${CMAKE_SOURCE_DIR}/fuzz/ubsan-ignore.txt")
    file(GLOB http_parser_dirs "${CMAKE_SOURCE_DIR}/.deps/src/http-parser-*")
    list(SORT http_parser_dirs)
    list(GET http_parser_dirs 0 http_parser_dir)
    set(ZAV_HTTP_PARSER_SOURCE "${http_parser_dir}" CACHE PATH "http-parser source folder (tools/setup.sh unpacks it)")
    if(NOT EXISTS "${ZAV_HTTP_PARSER_SOURCE}/http_parser.c")
      message(FATAL_ERROR "http-parser source missing in ${ZAV_HTTP_PARSER_SOURCE}: run tools/setup.sh")
    endif()
    add_library(zav_http_parser STATIC "${ZAV_HTTP_PARSER_SOURCE}/http_parser.c")
    target_include_directories(zav_http_parser SYSTEM BEFORE PUBLIC "${ZAV_HTTP_PARSER_SOURCE}")
    set(http_parser_lib zav_http_parser)
  else()
    set(http_parser_lib http_parser)
  endif()
  target_link_libraries(zav_deps INTERFACE PkgConfig::UV mbedtls mbedx509 mbedcrypto ${http_parser_lib} ZLIB::ZLIB pthread)
endif()

# RapidJSON is included through core/Json.h only.
