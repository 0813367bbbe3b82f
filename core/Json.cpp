#include "core/Json.h"

#include <vector>

#include "core/Text.h"

bool jsonStringsAreUtf8(const rapidjson::Value& value) {
  std::vector<const rapidjson::Value*> pending{&value};
  while (!pending.empty()) {
    const rapidjson::Value& next = *pending.back();
    pending.pop_back();
    if (next.IsString()) {
      if (!isUtf8(next.GetString(), next.GetStringLength())) return false;
    } else if (next.IsArray()) {
      for (const auto& element : next.GetArray()) pending.push_back(&element);
    } else if (next.IsObject()) {
      for (const auto& member : next.GetObject()) {
        pending.push_back(&member.name);
        pending.push_back(&member.value);
      }
    }
  }
  return true;
}

const rapidjson::Value& jsonMember(const rapidjson::Value& object, const std::string& key) {
  if (object.IsObject()) {
    auto found = object.FindMember(key);  // by length: a key with a zero byte stays whole
    if (found != object.MemberEnd()) return found->value;
  }
  throw std::logic_error(key + " not found");
}

const rapidjson::Value& jsonTypedMember(const rapidjson::Value& object, const std::string& key, JsonTypeTest test) {
  const rapidjson::Value& value = jsonMember(object, key);
  if (!(value.*test)()) throw std::logic_error(key + " is in incorrect type");
  return value;
}

std::string jsonString(const rapidjson::Value& value) { return std::string(value.GetString(), value.GetStringLength()); }

std::string jsonGetString(const rapidjson::Value& object, const std::string& key) {
  return jsonString(jsonTypedMember(object, key, &rapidjson::Value::IsString));
}
