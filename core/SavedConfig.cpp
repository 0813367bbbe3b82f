#include "core/SavedConfig.h"

#include <cstring>
#include <sstream>
#include <utility>
#include <vector>

#include "core/DebugLog.h"

namespace {

const char kPasswordKey[] = "pw";

template <typename Writer>
bool writeScalar(const rapidjson::Value& value, Writer& writer) {
  if (value.IsNull()) return writer.Null();
  if (value.IsBool()) return writer.Bool(value.GetBool());
  if (value.IsString()) return writer.String(value.GetString(), value.GetStringLength());
  if (value.IsDouble()) return writer.Double(value.GetDouble());
  if (value.IsInt()) return writer.Int(value.GetInt());
  if (value.IsUint()) return writer.Uint(value.GetUint());
  if (value.IsInt64()) return writer.Int64(value.GetInt64());
  return writer.Uint64(value.GetUint64());
}

bool isKey(const rapidjson::Value& name, const char* key) {
  return name.GetStringLength() == std::strlen(key) && std::memcmp(name.GetString(), key, name.GetStringLength()) == 0;
}

// What Value::Accept writes, with a stack of its own: a settings file may nest
// deeper than the call stack allows. Members of the top-level object named
// maskedKey (if any) are written as "***". False as soon as the writer refuses
// a value (a number that is not finite, for the default writer).
template <typename Writer>
bool writeIteratively(const rapidjson::Value& root, Writer& writer, const char* maskedKey) {
  struct Open {
    const rapidjson::Value* container;
    rapidjson::SizeType next;
  };
  std::vector<Open> open;
  const rapidjson::Value* pending = &root;
  for (;;) {
    if (pending) {
      if (pending->IsObject() || pending->IsArray()) {
        if (!(pending->IsObject() ? writer.StartObject() : writer.StartArray())) return false;
        open.push_back({pending, 0});
      } else if (!writeScalar(*pending, writer)) {
        return false;
      }
      pending = nullptr;
    }
    if (open.empty()) return true;
    Open& top = open.back();
    const rapidjson::Value& container = *top.container;
    if (container.IsObject()) {
      if (top.next == container.MemberCount()) {
        if (!writer.EndObject(container.MemberCount())) return false;
        open.pop_back();
        continue;
      }
      const auto& member = *(container.MemberBegin() + top.next++);
      if (!writer.Key(member.name.GetString(), member.name.GetStringLength())) return false;
      if (open.size() == 1 && maskedKey && isKey(member.name, maskedKey)) {
        if (!writer.String("***")) return false;
      } else {
        pending = &member.value;
      }
    } else {
      if (top.next == container.Size()) {
        if (!writer.EndArray(container.Size())) return false;
        open.pop_back();
        continue;
      }
      pending = &container[top.next++];
    }
  }
}

// False when the writer refused a value: text is then unfinished.
bool compactText(const rapidjson::Value& value, std::string& text) {
  rapidjson::StringBuffer buffer(nullptr, 256);
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  const bool finished = writeIteratively(value, writer, nullptr);
  text.assign(buffer.GetString(), buffer.GetSize());
  return finished;
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
  std::string text;
  const bool finished = compactText(document_, text);
  writeDebugLog("Save Config: " + settingsLogText(document_) + "\n");
  // A cut text would replace the stored settings with ones that do not parse.
  if (!finished || !store_->write(text)) writeDebugLog("Save Failed\n");
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
  rapidjson::StringBuffer buffer(nullptr, 256);
  // The log shows also what the file cannot hold, an infinite number say.
  rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::CrtAllocator,
                    rapidjson::kWriteNanAndInfFlag>
      writer(buffer);
  writeIteratively(settings, writer, kPasswordKey);
  return std::string(buffer.GetString(), buffer.GetSize());
}
