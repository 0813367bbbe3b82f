// The backend's reply text: classification, the member readers handlers use
// (only ever UTF-8 in what they read), and the password masking of the debug
// log.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/Json.h"
#include "core/Text.h"
#include "fuzz/FuzzCheck.h"
#include "service/ApiResult.h"

namespace {

bool isPasswordName(const rapidjson::Value& name) {
  std::string key = jsonString(name);
  return key == "pw" || key == "password";
}

// Reads every member of every object the way a handler would, and checks
// that each masked password value is gone.
void readAll(const rapidjson::Value& root, bool masked) {
  std::vector<const rapidjson::Value*> pending{&root};
  size_t visited = 0;
  while (!pending.empty() && ++visited < 20000) {
    const rapidjson::Value& value = *pending.back();
    pending.pop_back();
    if (value.IsString()) FUZZ_CHECK(isUtf8(value.GetString(), value.GetStringLength()));
    if (value.IsArray()) {
      for (const auto& element : value.GetArray()) pending.push_back(&element);
      continue;
    }
    if (!value.IsObject()) continue;
    for (const auto& member : value.GetObject()) {
      const std::string key = jsonString(member.name);
      FUZZ_CHECK(isUtf8(key.data(), key.size()));
      const rapidjson::Value& found = jsonMember(value, key);
      FUZZ_CHECK(&found == &value.FindMember(member.name)->value);  // the first of its name
      try {
        std::string text = jsonGetString(value, key);
        FUZZ_CHECK(found.IsString() && text.size() == found.GetStringLength());
        FUZZ_CHECK(std::memcmp(text.data(), found.GetString(), text.size()) == 0);
      } catch (const std::logic_error&) {
        FUZZ_CHECK(!found.IsString());
      }
      try {
        jsonTypedMember(value, key, &rapidjson::Value::IsInt);
        FUZZ_CHECK(found.IsInt());
      } catch (const std::logic_error&) {
        FUZZ_CHECK(!found.IsInt());
      }
      if (masked && isPasswordName(member.name) && member.value.IsString())
        FUZZ_CHECK(jsonString(member.value) == "***");
      pending.push_back(&member.value);
    }
    try {
      jsonMember(value, std::string("\0absent", 7));
      FUZZ_CHECK(false);
    } catch (const std::logic_error&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ApiResult result = parseApiResponse(text);
  if (result.kind == ApiResult::unusable) {
    FUZZ_CHECK(result.code == 0);
  } else {
    FUZZ_CHECK(result.kind == ApiResult::success || result.kind == ApiResult::serverError);
    FUZZ_CHECK(text.find('\0') == std::string::npos);
    FUZZ_CHECK(result.doc.IsObject());
    const int rst = jsonTypedMember(result.doc, "rst", &rapidjson::Value::IsInt).GetInt();
    FUZZ_CHECK(rst == result.code);
    FUZZ_CHECK((rst == 0) == (result.kind == ApiResult::success));
    readAll(result.doc, false);
  }

  const std::string masked = maskPasswords(text);
  if (result.kind != ApiResult::unusable) {
    // Masking swaps whole string tokens: what parsed still parses, with every
    // password value replaced.
    ApiResult again = parseApiResponse(masked);
    FUZZ_CHECK(again.kind == result.kind && again.code == result.code);
    readAll(again.doc, true);
  }
  return 0;
}
