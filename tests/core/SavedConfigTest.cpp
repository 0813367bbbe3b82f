#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/SavedConfig.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/MemorySavedConfigStore.h"

namespace {

size_t countOf(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

TEST(SavedConfigLoadTest, StoredTextBecomesTheObjectAndIsSavedBack) {
  struct Case {
    const char* name;
    const char* stored;  // null: nothing could be read
    const char* savedBack;
  } cases[] = {
      {"nothing stored", nullptr, "{}"},
      {"an empty text", "", "{}"},
      {"an array", "[1,2]", "{}"},
      {"a string", "\"un\"", "{}"},
      {"junk", "\x01\xfe{un", "{}"},
      {"an object with trailing junk", "{\"un\":\"a\"}x", "{}"},
      {"spaces are dropped", "{ \"un\" : \"a\" ,\n \"modePref\" : false }", "{\"un\":\"a\",\"modePref\":false}"},
      {"unknown keys stay", "{\"zz\":[1,{\"k\":null}],\"un\":\"a\"}", "{\"zz\":[1,{\"k\":null}],\"un\":\"a\"}"},
      {"non-ASCII text", "{\"gamePref\":\"Grüße 你好 \xf0\x9f\x8e\xae\"}",
       "{\"gamePref\":\"Grüße 你好 \xf0\x9f\x8e\xae\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto state = savedConfigStoreHolding(c.stored);
    SavedConfig config(std::make_unique<MemorySavedConfigStore>(state));
    config.load();
    EXPECT_TRUE(config.document().IsObject());
    ASSERT_EQ(state->writes.size(), 1u);
    EXPECT_EQ(state->writes[0], c.savedBack);
  }
}

// Such a file once crashed every start until it was removed.
TEST(SavedConfigLoadTest, DeeplyNestedTextDoesNotExhaustTheStack) {
  const size_t depth = 200000;
  std::string objects;
  for (size_t i = 0; i < depth; ++i) objects += "{\"a\":";
  const std::string balanced = "{\"un\":\"a\",\"pw\":\"s3cret\",\"deep\":[" + objects + "[" + std::string(depth, '[') +
                               std::string(depth, ']') + "]" + std::string(depth, '}') + "]}";
  struct Case {
    const char* name;
    std::string stored;
    std::string savedBack;
  } cases[] = {
      {"unclosed arrays", std::string(depth, '['), "{}"},
      {"unclosed objects", objects, "{}"},
      {"deep but whole, kept and written back", balanced, balanced},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto state = savedConfigStoreHolding(c.stored.c_str());
    CapturedDebugLog log;
    SavedConfig config(std::make_unique<MemorySavedConfigStore>(state));
    config.load();
    ASSERT_EQ(state->writes.size(), 1u);
    EXPECT_TRUE(state->writes[0] == c.savedBack) << state->writes[0].substr(0, 80);
    EXPECT_EQ(log.text().find("s3cret"), std::string::npos);
  }
}

TEST(SavedConfigLoadTest, AFailedSaveKeepsTheSettingsForTheNextOne) {
  auto state = savedConfigStoreHolding("{\"un\":\"a\"}");
  state->failWrites = true;
  CapturedDebugLog log;
  SavedConfig config(std::make_unique<MemorySavedConfigStore>(state));
  config.load();
  setStringMember(config.document(), "serverPref", "s1");
  config.save();
  state->failWrites = false;
  config.save();
  ASSERT_EQ(state->writes.size(), 3u);
  EXPECT_EQ(*state->stored, "{\"un\":\"a\",\"serverPref\":\"s1\"}");
  std::string text = log.text();
  size_t first = text.find("Save Failed\n");
  ASSERT_NE(first, std::string::npos) << text;
  size_t second = text.find("Save Failed\n", first + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(text.find("Save Failed\n", second + 1), std::string::npos) << "the third save succeeded";
}

// The writer refuses numbers read as infinite; a cut text once replaced the
// file, and the saved login was gone at the next start.
TEST(SavedConfigLoadTest, AValueTheWriterRefusesKeepsTheFileAsItWas) {
  const char* stored[] = {
      "{\"un\":\"user\",\"pw\":\"pass\",\"x\":1.5e309}",
      "{\"un\":\"user\",\"pw\":\"pass\",\"x\":[{\"y\":-2e308}]}",
  };
  for (const char* text : stored) {
    SCOPED_TRACE(text);
    auto state = savedConfigStoreHolding(text);
    CapturedDebugLog log;
    SavedConfig config(std::make_unique<MemorySavedConfigStore>(state));
    config.load();
    setStringMember(config.document(), "serverPref", "s1");
    config.save();
    EXPECT_TRUE(state->writes.empty()) << state->writes.front();
    EXPECT_EQ(*state->stored, text);
    EXPECT_EQ(getStringOr(config.document(), "un", ""), "user");
    const std::string logged = log.text();
    EXPECT_EQ(countOf(logged, "Save Failed\n"), 2u) << logged;
    EXPECT_EQ(logged.find("pass"), std::string::npos) << logged;
  }
}

TEST(SavedConfigLogTest, LinesKeepTheirTagsButNeverThePassword) {
  auto state = savedConfigStoreHolding("{\"un\":\"alice\",\"pw\":\"s3cret-on-disk\",\"serverPref\":\"s1\"}");
  CapturedDebugLog log;
  SavedConfig config(std::make_unique<MemorySavedConfigStore>(state));
  config.load();
  setStringMember(config.document(), "pw", "n3w-s3cret");
  config.save();
  // The file itself keeps the password: the user asked to be remembered.
  EXPECT_NE(state->stored->find("n3w-s3cret"), std::string::npos);

  std::string text = log.text();
  EXPECT_NE(text.find("SavedConfig: {\"un\":\"alice\",\"pw\":\"***\",\"serverPref\":\"s1\"}\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("Save Config: {\"un\":\"alice\",\"pw\":\"***\",\"serverPref\":\"s1\"}\n"), std::string::npos);
  EXPECT_NE(text.find("Save Config: {\"un\":\"alice\",\"serverPref\":\"s1\",\"pw\":\"***\"}\n"), std::string::npos);
  EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
}

TEST(SavedConfigLogTest, TextThatIsNoObjectIsNotShown) {
  auto state = savedConfigStoreHolding("[\"pw\",\"s3cret\"");
  CapturedDebugLog log;
  SavedConfig config(std::make_unique<MemorySavedConfigStore>(state));
  config.load();
  std::string text = log.text();
  EXPECT_NE(text.find("SavedConfig: "), std::string::npos) << text;
  EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
  EXPECT_NE(text.find("Save Config: {}\n"), std::string::npos) << text;
}

TEST(SavedConfigLogTest, PasswordMaskedWhateverItsType) {
  struct Case {
    const char* settings;
    const char* logged;
  } cases[] = {
      {"{}", "{}"},
      {"{\"un\":\"a\"}", "{\"un\":\"a\"}"},
      {"{\"pw\":\"\"}", "{\"pw\":\"***\"}"},
      {"{\"pw\":{\"x\":\"s3cret\"}}", "{\"pw\":\"***\"}"},
      {"{\"pw\":\"s3cret\",\"un\":\"a\",\"pw\":\"s3cret\"}", "{\"pw\":\"***\",\"un\":\"a\",\"pw\":\"***\"}"},
      {"{\"x\":{\"pw\":\"nested is no password\"}}", "{\"x\":{\"pw\":\"nested is no password\"}}"},
  };
  for (const Case& c : cases) {
    rapidjson::Document settings;
    settings.Parse(c.settings);
    EXPECT_EQ(settingsLogText(settings), c.logged) << c.settings;
  }
}

TEST(SavedConfigAccessTest, GettersFallBackOnMissingOrMistypedMembers) {
  rapidjson::Document settings;
  settings.Parse(
      "{\"un\":\"alice\",\"pw\":\"\",\"serverPref\":7,\"gamePref\":null,\"modePref\":\"false\","
      "\"flagOff\":false,\"flagOn\":true,\"nul\":\"a\\u0000b\"}");
  struct StringCase {
    const char* key;
    std::string expected;
  } strings[] = {
      {"un", "alice"}, {"pw", ""}, {"serverPref", "dflt"}, {"gamePref", "dflt"}, {"missing", "dflt"},
      {"nul", std::string("a\0b", 3)},
  };
  for (const StringCase& c : strings) EXPECT_EQ(getStringOr(settings, c.key, "dflt"), c.expected) << c.key;

  struct BoolCase {
    const char* key;
    bool expected;
  } bools[] = {{"flagOff", false}, {"flagOn", true}, {"modePref", true}, {"un", true}, {"missing", true}};
  for (const BoolCase& c : bools) EXPECT_EQ(getBoolOrTrue(settings, c.key), c.expected) << c.key;

  rapidjson::Document array;
  array.Parse("[\"un\"]");
  EXPECT_EQ(getStringOr(array, "un", "dflt"), "dflt");
  EXPECT_TRUE(getBoolOrTrue(array, "modePref"));
}

TEST(SavedConfigAccessTest, SettersReplaceEveryMemberOfTheName) {
  auto state = savedConfigStoreHolding("{\"serverPref\":\"old\",\"un\":\"a\",\"serverPref\":\"older\"}");
  SavedConfig config(std::make_unique<MemorySavedConfigStore>(state));
  config.load();
  rapidjson::Document& settings = config.document();
  setStringMember(settings, "serverPref", "s1");
  setStringMember(settings, "serverPref", "s2");
  setBoolMember(settings, "modePref", true);
  setBoolMember(settings, "modePref", false);
  config.save();
  EXPECT_EQ(state->writes.back(), "{\"un\":\"a\",\"serverPref\":\"s2\",\"modePref\":false}");
  EXPECT_FALSE(getBoolOrTrue(settings, "modePref"));
}

TEST(SavedConfigAccessTest, SetValuesOutliveTheCallersStrings) {
  SavedConfig config(std::make_unique<MemorySavedConfigStore>(savedConfigStoreHolding(nullptr)));
  {
    std::string key = "accountPref";
    std::string value(40, 'v');
    setStringMember(config.document(), key, value);
    key.assign(key.size(), 'x');
    value.assign(value.size(), 'x');
  }
  EXPECT_EQ(getStringOr(config.document(), "accountPref", ""), std::string(40, 'v'));
}

TEST(SavedConfigAccessTest, ForgettingTheLoginRemovesBothMembers) {
  auto state = savedConfigStoreHolding("{\"un\":\"a\",\"gamePref\":\"g\",\"pw\":\"p\",\"un\":\"b\"}");
  SavedConfig config(std::make_unique<MemorySavedConfigStore>(state));
  config.load();
  EXPECT_TRUE(removeMember(config.document(), "un"));
  EXPECT_TRUE(removeMember(config.document(), "pw"));
  EXPECT_FALSE(removeMember(config.document(), "pw"));
  config.save();
  EXPECT_EQ(state->writes.back(), "{\"gamePref\":\"g\"}");
  rapidjson::Document array;
  array.Parse("[1]");
  EXPECT_FALSE(removeMember(array, "un"));
}

}  // namespace
