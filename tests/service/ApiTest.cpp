#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/RandomGenerator.h"
#include "service/ApiReplySink.h"
#include "service/ApiResult.h"
#include "service/ConnThread.h"
#include "tests/service/ConnTestSupport.h"
#include "tests/support/ConnBackend.h"
#include "tests/support/DebugLogReader.h"

namespace {

size_t countOf(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

TEST(ParseApiResponseTest, ClassifiesEveryShapeOfReply) {
  struct Case {
    const char* name;
    std::string text;
    int kind;
    int code;
  };
  const Case cases[] = {
      {"success", "{\"rst\":0}", ApiResult::success, 0},
      {"server error", "{\"rst\":7}", ApiResult::serverError, 7},
      {"negative server error", "{\"rst\":-2,\"msg\":\"x\"}", ApiResult::serverError, -2},
      {"whitespace around", " \r\n{ \"rst\" : 0 }\n\t", ApiResult::success, 0},
      {"rst as text", "{\"rst\":\"0\"}", ApiResult::unusable, 0},
      {"rst as real", "{\"rst\":0.0}", ApiResult::unusable, 0},
      {"rst past int", "{\"rst\":2147483648}", ApiResult::unusable, 0},
      {"rst null", "{\"rst\":null}", ApiResult::unusable, 0},
      {"rst missing", "{}", ApiResult::unusable, 0},
      {"rst nested only", "{\"a\":{\"rst\":0}}", ApiResult::unusable, 0},
      {"not an object", "[1]", ApiResult::unusable, 0},
      {"bare number", "0", ApiResult::unusable, 0},
      {"empty text", "", ApiResult::unusable, 0},
      {"cut off", "{\"rst\":0", ApiResult::unusable, 0},
      {"trailing garbage", "{\"rst\":0}x", ApiResult::unusable, 0},
      {"second document", "{\"rst\":0}{\"rst\":1}", ApiResult::unusable, 0},
      {"zero byte after the document", std::string("{\"rst\":0}\0", 10), ApiResult::unusable, 0},
      {"zero byte then garbage", std::string("{\"rst\":0}\0{", 11), ApiResult::unusable, 0},
      {"invalid UTF-8 in a string", "{\"rst\":0,\"n\":\"\xC3\"}", ApiResult::unusable, 0},
      // The parse turns an escaped lone low surrogate into ED B0 80 without an error.
      {"escaped lone low surrogate", "{\"rst\":0,\"a\":\"\\udc00\"}", ApiResult::unusable, 0},
      {"escaped lone low surrogate in a name", "{\"rst\":0,\"\\udfff\":1}", ApiResult::unusable, 0},
      {"escaped lone low surrogate deep inside", "{\"rst\":0,\"l\":[1,{\"n\":[\"ok\",\"x\\udc00y\"]}]}",
       ApiResult::unusable, 0},
      {"escaped lone low surrogate beside a server error", "{\"rst\":5,\"m\":\"\\udc00\"}", ApiResult::unusable,
       0},
      {"escaped lone high surrogate", "{\"rst\":0,\"a\":\"\\ud800\"}", ApiResult::unusable, 0},
      {"escaped surrogates swapped", "{\"rst\":0,\"a\":\"\\udfae\\ud83c\"}", ApiResult::unusable, 0},
      {"escaped surrogate pair", "{\"rst\":0,\"a\":\"\\ud83c\\udfae\"}", ApiResult::success, 0},
      {"escaped zero byte", "{\"rst\":0,\"a\":\"\\u0000\"}", ApiResult::success, 0},
      {"not JSON", "<html>", ApiResult::unusable, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ApiResult result = parseApiResponse(c.text);
    EXPECT_EQ(result.kind, c.kind);
    if (c.kind == ApiResult::serverError) {
      EXPECT_EQ(result.code, c.code);
    }
    if (c.kind != ApiResult::unusable) {
      EXPECT_TRUE(result.doc.IsObject());
    }
  }
}

TEST(ParseApiResponseTest, KeepsTheParsedReplyForTheHandler) {
  ApiResult result = parseApiResponse("{\"rst\":0,\"list\":[1,2],\"name\":\"caf\xC3\xA9\"}");
  ASSERT_EQ(result.kind, ApiResult::success);
  EXPECT_EQ(jsonTypedMember(result.doc, "list", &rapidjson::Value::IsArray).Size(), 2u);
  EXPECT_EQ(jsonGetString(result.doc, "name"), "caf\xC3\xA9");
}

TEST(ParseApiResponseTest, DeeplyNestedReplyDoesNotExhaustTheStack) {
  const size_t depth = 50000;
  std::string text = "{\"rst\":0,\"deep\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
  EXPECT_EQ(parseApiResponse(text).kind, ApiResult::success);
  std::string objects;
  for (size_t i = 0; i < depth; ++i) objects += "{\"a\":";
  objects += "0" + std::string(depth, '}');
  EXPECT_EQ(parseApiResponse("{\"rst\":3,\"deep\":" + objects + "}").kind, ApiResult::serverError);
  EXPECT_EQ(parseApiResponse(std::string(depth, '[')).kind, ApiResult::unusable);
}

TEST(ParseApiResponseTest, LogsEveryReplyOnceWithPasswordsMasked) {
  CapturedDebugLog log;
  parseApiResponse("{\"rst\":0,\"list\":[{\"name\":\"a\",\"password\":\"c2VjcmV0\"}]}");
  parseApiResponse("{\"rst\":0,\"p\\u0077\":\"c2VjcmV0\"}");
  parseApiResponse("not json");
  parseApiResponse("");
  const std::string text = log.text();
  EXPECT_EQ(countOf(text, "raw response: "), 4u);
  EXPECT_NE(text.find("raw response: {\"rst\":0,\"list\":[{\"name\":\"a\",\"password\":\"***\"}]}\n"), std::string::npos);
  EXPECT_NE(text.find("raw response: not json\n"), std::string::npos);
  EXPECT_NE(text.find("raw response: \n"), std::string::npos);
  EXPECT_EQ(text.find("c2VjcmV0"), std::string::npos);
}

TEST(BuildApiRequestTest, EveryOperationEndsWithOp) {
  struct Case {
    const char* op;
    const char* params;  // JSON, or nullptr for a fresh document
    const char* expected;
  };
  const Case cases[] = {
      {"login", "{\"un\":\"user\",\"pw\":\"p\\\"w\"}", "{\"un\":\"user\",\"pw\":\"p\\\"w\",\"op\":\"login\"}"},
      {"accounts", nullptr, "{\"op\":\"accounts\"}"},
      {"subAccount", "{\"subAccount\":\"sub \xC3\xBC\"}", "{\"subAccount\":\"sub \xC3\xBC\",\"op\":\"subAccount\"}"},
      {"gameList", "{}", "{\"op\":\"gameList\"}"},
      {"logout", nullptr, "{\"op\":\"logout\"}"},
      {"ovpnDownload", "{\"is64\":true}", "{\"is64\":true,\"op\":\"ovpnDownload\"}"},
      {"ovpnConfig", nullptr, "{\"op\":\"ovpnConfig\"}"},
      {"routeTable", "{\"game\":12}", "{\"game\":12,\"op\":\"routeTable\"}"},
      {"estabStats", "{\"intIP\":4278190081,\"srvAddr\":\"203.0.113.5\",\"ping\":35}",
       "{\"intIP\":4278190081,\"srvAddr\":\"203.0.113.5\",\"ping\":35,\"op\":\"estabStats\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    rapidjson::Document params;
    if (c.params) params.Parse(c.params);
    EXPECT_EQ(buildApiRequest(c.op, params), c.expected);
  }
  rapidjson::Document array;
  array.SetArray();
  EXPECT_THROW(buildApiRequest("x", array), std::logic_error);
}

// The writer stops at a number that is not finite; what it wrote so far is a
// shorter, different request.
TEST(BuildApiRequestTest, AMemberTheWriterRefusesGivesNoRequest) {
  struct Case {
    const char* name;
    std::function<void(rapidjson::Document&)> fill;
  };
  const Case cases[] = {
      {"read as minus infinity", [](rapidjson::Document& params) { params.Parse("{\"game\":-158.77751e309}"); }},
      {"infinity after a good member",
       [](rapidjson::Document& params) {
         params.Parse("{\"srvAddr\":\"203.0.113.5\",\"ping\":0}");
         params["ping"].SetDouble(std::numeric_limits<double>::infinity());
       }},
      {"not a number deep inside",
       [](rapidjson::Document& params) {
         params.Parse("{\"l\":[1,{\"x\":0}]}");
         params["l"][1]["x"].SetDouble(std::numeric_limits<double>::quiet_NaN());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rapidjson::Document params;
    c.fill(params);
    ASSERT_TRUE(params.IsObject());
    EXPECT_EQ(buildApiRequest("routeTable", params), std::nullopt);
  }
}

TEST(MaskPasswordsTest, HidesPasswordValuesWhateverTheShape) {
  struct Case {
    const char* name;
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"login request", "{\"un\":\"me\",\"pw\":\"secret\",\"op\":\"login\"}",
       "{\"un\":\"me\",\"pw\":\"***\",\"op\":\"login\"}"},
      {"sub-accounts", "{\"a\":[{\"password\":\"eA==\"},{\"password\":\"eQ==\"}]}",
       "{\"a\":[{\"password\":\"***\"},{\"password\":\"***\"}]}"},
      {"spaces around the colon", "{ \"pw\" :\n \"secret\" }", "{ \"pw\" :\n \"***\" }"},
      {"escaped quote inside", "{\"pw\":\"se\\\"cr\\\\\",\"x\":1}", "{\"pw\":\"***\",\"x\":1}"},
      {"cut off value", "{\"pw\":\"sec", "{\"pw\":\"***\""},
      {"not a string", "{\"pw\":12,\"n\":\"v\"}", "{\"pw\":12,\"n\":\"v\"}"},
      {"pw as a value", "{\"k\":\"pw\",\"v\":\"keep\"}", "{\"k\":\"pw\",\"v\":\"keep\"}"},
      {"longer key", "{\"passwords\":\"keep\",\"upw\":\"keep\"}", "{\"passwords\":\"keep\",\"upw\":\"keep\"}"},
      // The key as the reply parses, not as it is spelt.
      {"escaped key", "{\"p\\u0077\":\"secret\"}", "{\"p\\u0077\":\"***\"}"},
      {"escaped key in capitals", "{\"\\u0050\\u0057\":\"keep\",\"\\u0070\\u0077\":\"secret\"}",
       "{\"\\u0050\\u0057\":\"keep\",\"\\u0070\\u0077\":\"***\"}"},
      {"escaped password key", "{\"pass\\u0077ord\":\"secret\",\"\\/pw\":\"keep\"}",
       "{\"pass\\u0077ord\":\"***\",\"\\/pw\":\"keep\"}"},
      {"escape naming another key", "{\"p\\u0077\\u0000\":\"keep\",\"pw\\n\":\"keep\"}",
       "{\"p\\u0077\\u0000\":\"keep\",\"pw\\n\":\"keep\"}"},
      {"broken escape", "{\"p\\u00\":\"keep\"}", "{\"p\\u00\":\"keep\"}"},
      {"not JSON", "pw: secret", "pw: secret"},
      {"empty", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(maskPasswords(c.text), c.expected);
  }
}

TEST(DeliverApiReplyTest, HandlerThatThrowsOnAReplyIsCalledAgainWithUnusable) {
  std::vector<int> kinds;
  deliverApiReply(
      [&](ApiResult result) {
        kinds.push_back(result.kind);
        if (result.kind == ApiResult::success) jsonGetString(result.doc, "name");
      },
      "{\"rst\":0}");
  EXPECT_EQ(kinds, (std::vector<int>{ApiResult::success, ApiResult::unusable}));

  kinds.clear();
  deliverApiReply([&](ApiResult result) { kinds.push_back(result.kind); }, "{\"rst\":0,\"name\":\"n\"}");
  EXPECT_EQ(kinds, (std::vector<int>{ApiResult::success}));
}

TEST(DeliverApiReplyTest, ExceptionsOfEveryCallStayOnTheMainThreadAndAreLogged) {
  CapturedDebugLog log;
  int calls = 0;
  auto alwaysThrows = [&](ApiResult result) {
    ++calls;
    // Misuse of the document is an exception too, not undefined behaviour.
    if (result.kind == ApiResult::success) result.doc["list"].Size();
    throw std::runtime_error("handler broke");
  };
  EXPECT_NO_THROW(deliverApiReply(alwaysThrows, "{\"rst\":0}"));
  EXPECT_EQ(calls, 2);
  EXPECT_NO_THROW(deliverApiFailure(alwaysThrows));
  EXPECT_EQ(calls, 3);
  EXPECT_NO_THROW(deliverApiReply([](ApiResult) { throw 42; }, "{\"rst\":1}"));
  const std::string text = log.text();
  EXPECT_NE(text.find("json assertion"), std::string::npos);
  EXPECT_EQ(countOf(text, "handler broke"), 2u);
  EXPECT_NE(text.find("unknown exception"), std::string::npos);
}

// The main thread's side: tasks posted by the sinks, run by the test thread.
class TaskQueue {
 public:
  void post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    changed_.notify_all();
  }
  bool runOne(int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !tasks_.empty(); })) return false;
    auto task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> tasks_;
};

class ApiChannelTest : public ::testing::Test {
 protected:
  static ConnBackend& backend() {
    static ConnBackend instance;
    return instance;
  }
  void SetUp() override { backend().reset(); }

  std::shared_ptr<ApiReplySink> sink(std::vector<ApiResult>& results, std::shared_ptr<void> keepAlive = nullptr) {
    return std::make_shared<ApiReplySink>([this](std::function<void()> task) { tasks_.post(std::move(task)); },
                                          std::move(keepAlive),
                                          [&results](ApiResult result) { results.push_back(std::move(result)); });
  }

  std::shared_ptr<RandomGenerator> random_ = std::make_shared<RandomGenerator>();
  StateLog states_;
  TaskQueue tasks_;
};

TEST_F(ApiChannelTest, RepliesFailuresAndOversizedRequestsReachTheHandlerOnTheMainSide) {
  // A pause no stall of this thread outlasts: the last call must find the
  // channel still reconnecting, not back and echoing it.
  ConnThread conn(random_, [this](int state) { states_.add(state); }, "127.0.0.1", backend().channelPort(), 60000);
  ASSERT_TRUE(states_.waitFor(connState::ready));
  backend().onRequest("{\"text\":\"{\\\"rst\\\":0,\\\"name\\\":\\\"n\\\"}\",\"compress\":true}");
  backend().onRequest("{\"text\":\"{\\\"rst\\\":20}\"}");
  backend().onRequest("{\"close\":true}");

  std::vector<ApiResult> results;
  auto owner = std::make_shared<int>(0);
  std::weak_ptr<int> watch = owner;
  rapidjson::Document params;
  conn.send(buildApiRequest("accounts", params).value(), sink(results, std::move(owner)));
  ASSERT_TRUE(tasks_.runOne());
  EXPECT_TRUE(watch.expired());  // the posted task held it until it ran
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].kind, ApiResult::success);
  EXPECT_EQ(jsonGetString(results[0].doc, "name"), "n");

  conn.send("{\"op\":\"gameList\"}", sink(results));
  ASSERT_TRUE(tasks_.runOne());
  EXPECT_EQ(results[1].kind, ApiResult::serverError);
  EXPECT_EQ(results[1].code, 20);

  conn.send(std::string(ConnThread::maxPayload + 1, ' '), sink(results));
  ASSERT_TRUE(tasks_.runOne());
  EXPECT_EQ(results[2].kind, ApiResult::unusable);

  conn.send("{\"op\":\"logout\"}", sink(results));
  ASSERT_TRUE(tasks_.runOne());
  EXPECT_EQ(results[3].kind, ApiResult::noReply);
  EXPECT_TRUE(results[3].doc.IsNull());

  // Reconnecting: a call now gets no reply at once.
  conn.send("{\"op\":\"accounts\"}", sink(results));
  ASSERT_TRUE(tasks_.runOne());
  EXPECT_EQ(results[4].kind, ApiResult::noReply);

  auto stats = backend().stats();
  ASSERT_GE(stats["requests"].Size(), 3u);
  EXPECT_STREQ(stats["requests"][0]["head"].GetString(), "{\"op\":\"accounts\"}");
}

}  // namespace
