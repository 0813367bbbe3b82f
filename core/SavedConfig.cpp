#include "core/SavedConfig.h"

#include <sstream>
#include <utility>

#include "core/DebugLog.h"

namespace {

const char kPasswordKey[] = "pw";

std::string compactText(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer(nullptr, 256);
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

void addMember(rapidjson::Document& object, const std::string& key, rapidjson::Value& value) {
  removeMember(object, key);
  object.AddMember(rapidjson::Value(key, object.GetAllocator()), value, object.GetAllocator());
}

}  // namespace

SavedConfig::SavedConfig(std::unique_ptr<SavedConfigStore> store) : store_(std::move(store)) {
  document_.SetObject();
}

void SavedConfig::load() {
  document_.SetObject();
  std::unique_ptr<std::string> text = store_->read();
  if (text) {
    rapidjson::Document parsed;
    const bool wellFormed = parseJsonText(parsed, *text);
    std::ostringstream line;
    line << "SavedConfig: ";
    if (wellFormed && parsed.IsObject()) {
      document_.Swap(parsed);
      line << settingsLogText(document_);
    } else {
      // Whatever it holds is not shown: it may be a damaged copy of the password.
      line << "(no settings object, " << text->size() << " bytes)";
    }
    line << "\n";
    writeDebugLog(line.str());
  }
  save();
}

void SavedConfig::save() {
  std::string text = compactText(document_);
  writeDebugLog("Save Config: " + settingsLogText(document_) + "\n");
  if (!store_->write(text)) writeDebugLog("Save Failed\n");
}

std::string getStringOr(const rapidjson::Value& object, const std::string& key, const std::string& fallback) {
  if (!object.IsObject()) return fallback;
  auto member = object.FindMember(key);
  if (member == object.MemberEnd() || !member->value.IsString()) return fallback;
  return std::string(member->value.GetString(), member->value.GetStringLength());
}

bool getBoolOrTrue(const rapidjson::Value& object, const std::string& key) {
  if (!object.IsObject()) return true;
  auto member = object.FindMember(key);
  if (member == object.MemberEnd() || !member->value.IsBool()) return true;
  return member->value.GetBool();
}

void setStringMember(rapidjson::Document& object, const std::string& key, const std::string& value) {
  rapidjson::Value copy(value, object.GetAllocator());
  addMember(object, key, copy);
}

void setBoolMember(rapidjson::Document& object, const std::string& key, bool value) {
  rapidjson::Value copy(value);
  addMember(object, key, copy);
}

bool removeMember(rapidjson::Value& object, const std::string& key) {
  if (!object.IsObject()) return false;
  bool removed = false;
  // A hand-edited file may hold a key twice; none of the copies may survive.
  while (object.RemoveMember(key)) removed = true;
  return removed;
}

std::string settingsLogText(const rapidjson::Value& settings) {
  if (!settings.IsObject() || !settings.HasMember(kPasswordKey)) return compactText(settings);
  rapidjson::Document masked;
  masked.CopyFrom(settings, masked.GetAllocator());
  for (auto& member : masked.GetObject())
    if (member.name == kPasswordKey) member.value.SetString("***");
  return compactText(masked);
}
