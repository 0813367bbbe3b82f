#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "core/Json.h"

namespace {

TEST(JsonMemberTest, ReadsMembersOrThrowsWithTheKey) {
  rapidjson::Document doc;
  doc.Parse("{\"s\":\"a\\u0000b\",\"i\":5,\"a\":[],\"o\":{},\"n\":null}");
  ASSERT_TRUE(doc.IsObject());
  EXPECT_EQ(jsonGetString(doc, "s"), std::string("a\0b", 3));
  EXPECT_EQ(jsonTypedMember(doc, "i", &rapidjson::Value::IsInt).GetInt(), 5);
  EXPECT_TRUE(jsonTypedMember(doc, "a", &rapidjson::Value::IsArray).IsArray());
  EXPECT_TRUE(jsonTypedMember(doc, "o", &rapidjson::Value::IsObject).IsObject());
  EXPECT_TRUE(jsonMember(doc, "n").IsNull());

  struct Miss {
    std::function<void()> read;
    std::string message;
  };
  rapidjson::Value notObject(3);
  const Miss misses[] = {
      {[&] { jsonMember(doc, "missing"); }, "missing not found"},
      {[&] { jsonGetString(doc, "missing"); }, "missing not found"},
      {[&] { jsonGetString(doc, "i"); }, "i is in incorrect type"},
      {[&] { jsonTypedMember(doc, "s", &rapidjson::Value::IsInt); }, "s is in incorrect type"},
      {[&] { jsonTypedMember(doc, "n", &rapidjson::Value::IsObject); }, "n is in incorrect type"},
      {[&] { jsonMember(notObject, "i"); }, "i not found"},
      // Not cut at its zero byte into the key "s" (what() is, as a C string).
      {[&] { jsonMember(doc, std::string("s\0", 2)); }, "s"},
  };
  for (const Miss& miss : misses) {
    SCOPED_TRACE(miss.message);
    try {
      miss.read();
      ADD_FAILURE() << "no exception";
    } catch (const std::logic_error& error) {
      EXPECT_EQ(std::string(error.what()), miss.message);
    }
  }
}

}  // namespace
