#pragma once

// Every use of RapidJSON goes through this header: its assertions become
// exceptions instead of undefined behaviour in a release build.
#include <stdexcept>

#ifndef RAPIDJSON_ASSERT
#define RAPIDJSON_ASSERT(x) \
  do {                      \
    if (!(x)) throw std::logic_error("json assertion: " #x); \
  } while (0)
#endif
#define RAPIDJSON_HAS_STDSTRING 1
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
