// The dispatcher with a real backend channel, against the stand-in backend.

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "core/RandomGenerator.h"
#include "core/app/win/MainDispatcher.h"
#include "service/ApiResult.h"
#include "service/ConnThread.h"
#include "tests/support/ConnBackend.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/FatalTrap.h"

namespace {

class NoSettings : public SavedConfigStore {
 public:
  std::unique_ptr<std::string> read() override { return nullptr; }
  bool write(const std::string&) override { return true; }
};

ConnBackend& backend() {
  static ConnBackend peer;
  return peer;
}

std::shared_ptr<MainDispatcher> makeDispatcher() {
  int port = backend().channelPort();
  MainDispatcher::ConnThreadMaker toBackend = [port](std::shared_ptr<RandomGenerator> random,
                                                     std::function<void(int)> onState) {
    return std::make_unique<ConnThread>(std::move(random), std::move(onState), "127.0.0.1", port);
  };
  return std::make_shared<MainDispatcher>(nullptr, std::make_shared<RandomGenerator>(), toBackend,
                                          std::make_unique<NoSettings>());
}

rapidjson::Document emptyParams() {
  rapidjson::Document params;
  params.SetObject();
  return params;
}

class DispatcherChannel : public ::testing::Test {
 protected:
  void SetUp() override { backend().reset(); }
};

TEST_F(DispatcherChannel, ChannelStatesReachTheListenersOnTheMainThreadInOrder) {
  CapturedDebugLog log;
  auto dispatcher = makeDispatcher();
  DWORD mainThread = GetCurrentThreadId();
  std::vector<int> states;
  bool offMainThread = false;
  dispatcher->acquire();
  ConnStateSubscription subscription = dispatcher->subscribeConnState([&](int state) {
    offMainThread |= GetCurrentThreadId() != mainThread;
    states.push_back(state);
    if (state == connState::ready) dispatcher->release();
  });
  dispatcher->startChannel();
  dispatcher->run();
  subscription.reset();
  EXPECT_EQ(states, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_FALSE(offMainThread);
  EXPECT_EQ(dispatcher->connState(), connState::ready);
  EXPECT_EQ(dispatcher->connThread(), nullptr);
  EXPECT_NE(log.text().find("New ConnState: 3\nNew ConnState: 4\n"), std::string::npos);
}

TEST_F(DispatcherChannel, EndingWhileARequestIsInFlightLeavesNothingBehind) {
  CapturedDebugLog log;
  // The backend announces a reply and never finishes it.
  backend().onRequest("{\"headerOnly\":true}");
  auto dispatcher = makeDispatcher();
  std::weak_ptr<MainDispatcher> weak = dispatcher;
  std::vector<int> kinds;
  dispatcher->acquire();
  auto subscription = std::make_shared<ConnStateSubscription>();
  *subscription = dispatcher->subscribeConnState([&, subscription](int state) {
    if (state == connState::ready && kinds.empty()) {
      kinds.push_back(-1);
      dispatcher->callApi("accounts", emptyParams(), [&](ApiResult result) { kinds.push_back(result.kind); });
    }
    if (state == connState::busy) {
      subscription->reset();
      // The channel stops with the request on the wire: its failure is
      // posted back to a loop that is about to end.
      dispatcher->release();
    }
  });
  dispatcher->startChannel();
  EXPECT_EQ(fatalCodeOf([&] {
              dispatcher->run();
              dispatcher.reset();
            }),
            -1);
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(kinds, (std::vector<int>{-1}));
  EXPECT_NE(log.text().find("Dispatcher: discarded "), std::string::npos);
}

// The writer stops at a number read as infinity: the text so far would be
// sent as another request.
TEST_F(DispatcherChannel, ARequestMemberTheWriterRefusesFailsTheCallAndNothingIsSent) {
  CapturedDebugLog log;
  backend().onRequest("{\"text\":\"{\\\"rst\\\":0}\"}");
  auto dispatcher = makeDispatcher();
  std::vector<int> kinds;
  dispatcher->acquire();
  auto subscription = std::make_shared<ConnStateSubscription>();
  *subscription = dispatcher->subscribeConnState([&, subscription](int state) {
    if (state != connState::ready || !kinds.empty()) return;
    rapidjson::Document params;
    params.Parse("{\"game\":-158.77751e309}");
    dispatcher->callApi("routeTable", std::move(params), [&](ApiResult result) {
      kinds.push_back(result.kind);
      // Its reply shows the channel's record is complete when it is read.
      dispatcher->callApi("accounts", emptyParams(), [&](ApiResult next) {
        kinds.push_back(next.kind);
        subscription->reset();
        dispatcher->release();
      });
    });
    kinds.push_back(-1);  // the handler runs later, never inside the call
  });
  dispatcher->startChannel();
  dispatcher->run();
  EXPECT_EQ(kinds, (std::vector<int>{-1, ApiResult::unusable, ApiResult::success}));
  auto stats = backend().stats();
  ASSERT_EQ(stats["requests"].Size(), 1u);
  EXPECT_STREQ(stats["requests"][0]["head"].GetString(), "{\"op\":\"accounts\"}");
  EXPECT_NE(log.text().find("API request routeTable not sent"), std::string::npos);
}

TEST_F(DispatcherChannel, ACallAfterTheChannelIsGoneAnswersNoReply) {
  auto dispatcher = makeDispatcher();
  dispatcher->acquire();
  dispatcher->startChannel();
  dispatcher->release();
  ASSERT_EQ(dispatcher->connThread(), nullptr);

  std::vector<int> kinds;
  dispatcher->acquire();
  dispatcher->callApi("accounts", emptyParams(), [&](ApiResult result) {
    kinds.push_back(result.kind);
    dispatcher->release();
  });
  dispatcher->run();
  EXPECT_EQ(kinds, (std::vector<int>{ApiResult::noReply}));
}

}  // namespace
