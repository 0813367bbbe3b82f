#pragma once

// Every use of RapidJSON goes through this header: its assertions become
// exceptions instead of undefined behaviour in a release build.
#include <stdexcept>
#include <string>

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

// Every JSON text from outside is parsed with this: the whole text by its
// length, without recursion, so no depth of nesting can exhaust the stack.
// extraFlags adds RapidJSON parse flags. True when the text parsed.
template <unsigned extraFlags = rapidjson::kParseNoFlags>
bool parseJsonText(rapidjson::Document& document, const std::string& text) {
  document.Parse<rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag | extraFlags>(text.data(),
                                                                                              text.size());
  return !document.HasParseError();
}

// True when every string of value, member names included, is UTF-8. The
// parse checks only the raw text: an escaped lone low surrogate ("\udc00")
// becomes the bytes of an encoded surrogate without an error. Walks without
// recursion, as the parse does.
bool jsonStringsAreUtf8(const rapidjson::Value& value);

// Required members: a miss throws std::logic_error with key + " not found"
// (also when object is no object) or key + " is in incorrect type".
using JsonTypeTest = bool (rapidjson::Value::*)() const;
const rapidjson::Value& jsonMember(const rapidjson::Value& object, const std::string& key);
const rapidjson::Value& jsonTypedMember(const rapidjson::Value& object, const std::string& key, JsonTypeTest test);
std::string jsonString(const rapidjson::Value& value);  // exact bytes, embedded zeros included
std::string jsonGetString(const rapidjson::Value& object, const std::string& key);
