#pragma once

#include <memory>
#include <string>

#include "core/Json.h"

// Where the settings text lives between runs: on Windows the DPAPI-protected
// "SavedConfig.dat" (core/win/SavedConfigFile.h); tests use their own.
class SavedConfigStore {
 public:
  virtual ~SavedConfigStore() = default;
  // The plain UTF-8 text, or null when there is none that can be read.
  virtual std::unique_ptr<std::string> read() = 0;
  // Replaces the stored text; false when it could not be written.
  virtual bool write(const std::string& text) = 0;
};

// The user's settings: one JSON object with the keys "un", "pw",
// "accountPref", "serverPref", "gamePref" and "modePref". Keys nobody reads
// stay in the object and are written back unchanged. Main thread only.
class SavedConfig {
 public:
  explicit SavedConfig(std::unique_ptr<SavedConfigStore> store);
  SavedConfig(const SavedConfig&) = delete;
  SavedConfig& operator=(const SavedConfig&) = delete;

  // Reads the stored object (anything else gives an empty object) and always
  // saves it back, so a damaged or foreign file is replaced at once.
  void load();
  // Writes the object; a failure, also of a value JSON cannot hold (a
  // number read as infinity), is logged as "Save Failed", the stored text
  // stays as it was and the settings stay in memory for the next save.
  void save();

  // Always an object.
  rapidjson::Document& document() { return document_; }
  const rapidjson::Document& document() const { return document_; }

 private:
  rapidjson::Document document_;
  std::unique_ptr<SavedConfigStore> store_;
};

// The member's string value, or fallback when the value is not an object, the
// member is missing or it is not a string.
std::string getStringOr(const rapidjson::Value& object, const std::string& key, const std::string& fallback);
// The member's bool value; true when it is missing or of another type.
bool getBoolOrTrue(const rapidjson::Value& object, const std::string& key);
// Replace the member (every member of that name) with a new one at the end.
void setStringMember(rapidjson::Document& object, const std::string& key, const std::string& value);
void setBoolMember(rapidjson::Document& object, const std::string& key, bool value);
// Removes every member of that name; false when there was none.
bool removeMember(rapidjson::Value& object, const std::string& key);

// The compact text of the settings as the debug log may show it: a "pw"
// member's value is replaced, so the remembered password never reaches a log.
std::string settingsLogText(const rapidjson::Value& settings);
