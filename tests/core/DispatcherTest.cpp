#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/app/win/MainDispatcher.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/FatalTrap.h"

namespace {

class NoSettings : public SavedConfigStore {
 public:
  std::unique_ptr<std::string> read() override { return nullptr; }
  bool write(const std::string&) override { return true; }
};

std::shared_ptr<MainDispatcher> makeDispatcher() {
  return std::make_shared<MainDispatcher>(nullptr, nullptr, nullptr, std::make_unique<NoSettings>());
}

// Records its own destruction: shows when an ended listener is really gone.
struct Token {
  std::vector<std::string>* events = nullptr;
  std::string name;
  ~Token() {
    if (events) events->push_back(name + " destroyed");
  }
};
std::shared_ptr<Token> token(std::vector<std::string>* events, const char* name) {
  auto made = std::make_shared<Token>();
  made->events = events;
  made->name = name;
  return made;
}

// Ends a loop that would otherwise hang: after the timeout it posts a task
// that records "watchdog" and drops the busy count to 0.
class Watchdog {
 public:
  Watchdog(std::shared_ptr<MainDispatcher> dispatcher, std::vector<std::string>* events, int milliseconds)
      : thread_([this, dispatcher, events, milliseconds] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (done_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return stopped_; })) return;
          dispatcher->post([dispatcher, events] {
            events->push_back("watchdog");
            while (dispatcher->busyCount() > 0) dispatcher->release();
          });
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    done_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool stopped_ = false;
  std::thread thread_;
};

// A message-only window whose WM_APP handler runs a test's action.
class MessageWindow {
 public:
  explicit MessageWindow(std::function<void()> onMessage) : onMessage_(std::move(onMessage)) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &MessageWindow::procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"ZavDispatcherTestWindow";
    RegisterClassW(&windowClass);
    hwnd_ = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            windowClass.hInstance, this);
  }
  ~MessageWindow() { DestroyWindow(hwnd_); }
  HWND handle() const { return hwnd_; }

 private:
  static LRESULT CALLBACK procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<MessageWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_APP && self) {
      self->onMessage_();
      return 0;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }

  std::function<void()> onMessage_;
  HWND hwnd_ = nullptr;
};

using Events = std::vector<std::string>;

TEST(DispatcherLoop, TasksRunInPostingOrderAndATaskPostedByATaskRunsAfterThePass) {
  auto dispatcher = makeDispatcher();
  Events events;
  auto subscription = std::make_shared<ConnStateSubscription>(dispatcher->subscribeConnState(
      [keep = token(&events, "listener")](int) {}));
  dispatcher->acquire();
  dispatcher->post([&] {
    events.push_back("first");
    dispatcher->post([&] {
      events.push_back("posted by first");
      dispatcher->release();
    });
    subscription->reset();
  });
  dispatcher->post([&] { events.push_back("second"); });
  dispatcher->run();
  // The ended listener goes at the end of its pass, before the next pass.
  EXPECT_EQ(events, (Events{"first", "second", "listener destroyed", "posted by first"}));
}

TEST(DispatcherLoop, PostsFromOtherThreadsWakeTheLoopAndRunOnTheMainThread) {
  auto dispatcher = makeDispatcher();
  DWORD mainThread = GetCurrentThreadId();
  std::vector<DWORD> ranOn;
  dispatcher->acquire();
  std::vector<std::thread> posters;
  for (int i = 0; i < 3; ++i) {
    posters.emplace_back([&, i] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30 * (i + 1)));
      dispatcher->post([&] {
        ranOn.push_back(GetCurrentThreadId());
        if (ranOn.size() == 3) dispatcher->release();
      });
    });
  }
  dispatcher->run();
  for (auto& poster : posters) poster.join();
  EXPECT_EQ(ranOn, (std::vector<DWORD>(3, mainThread)));
}

TEST(DispatcherLoop, AWindowMessageAloneEndsTheWait) {
  auto dispatcher = makeDispatcher();
  Events events;
  MessageWindow window([&] {
    events.push_back("message");
    dispatcher->release();
  });
  ASSERT_NE(window.handle(), nullptr);
  dispatcher->acquire();
  Watchdog watchdog(dispatcher, &events, 10000);
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    PostMessageW(window.handle(), WM_APP, 0, 0);
  });
  dispatcher->run();
  sender.join();
  EXPECT_EQ(events, (Events{"message"}));
}

TEST(DispatcherLoop, AMessagePeekedButLeftInTheQueueDoesNotStallTheLoop) {
  auto dispatcher = makeDispatcher();
  Events events;
  MessageWindow window([&] {
    events.push_back("message");
    dispatcher->release();
  });
  dispatcher->acquire();
  Watchdog watchdog(dispatcher, &events, 5000);
  // Nested code (a GUI call, a modal check) looks at the queue and leaves the
  // message there: it no longer counts as new input for a plain wait.
  dispatcher->post([&] {
    PostMessageW(window.handle(), WM_APP, 0, 0);
    MSG message;
    EXPECT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE));
  });
  dispatcher->run();
  EXPECT_EQ(events, (Events{"message"}));
}

TEST(DispatcherBusyCount, ReleaseAtZeroIsFatal147) {
  auto dispatcher = makeDispatcher();
  EXPECT_EQ(fatalCodeOf([&] { dispatcher->release(); }), 147);
  dispatcher->acquire();
  dispatcher->release();
  EXPECT_EQ(fatalCodeOf([&] { dispatcher->release(); }), 147);
  EXPECT_EQ(dispatcher->busyCount(), 0);
}

TEST(DispatcherBusyCount, RunReturnsAtOnceWhenNothingHoldsTheProgram) {
  auto dispatcher = makeDispatcher();
  bool ran = false;
  dispatcher->post([&] { ran = true; });
  dispatcher->run();
  EXPECT_FALSE(ran);
}

TEST(DispatcherBusyCount, TheLastReleaseLetsItsPassFinishThenTheLoopEnds) {
  auto dispatcher = makeDispatcher();
  Events events;
  dispatcher->acquire();
  dispatcher->acquire();
  dispatcher->post([&] {
    dispatcher->release();
    events.push_back("released to 1");
  });
  dispatcher->post([&] {
    dispatcher->release();
    events.push_back("released to 0");
    dispatcher->post([&] { events.push_back("next pass"); });
  });
  dispatcher->post([&] { events.push_back("rest of the pass"); });
  dispatcher->run();
  EXPECT_EQ(events, (Events{"released to 1", "released to 0", "rest of the pass"}));
  EXPECT_EQ(dispatcher->connThread(), nullptr);
}

TEST(DispatcherConnState, ListenersAreCalledNewestFirstAndNotOnSubscription) {
  auto dispatcher = makeDispatcher();
  Events events;
  auto listener = [&](const char* name) {
    return [&events, name](int state) { events.push_back(name + std::string(" ") + std::to_string(state)); };
  };
  ConnStateSubscription first = dispatcher->subscribeConnState(listener("first"));
  ConnStateSubscription second = dispatcher->subscribeConnState(listener("second"));
  EXPECT_EQ(dispatcher->connState(), connState::resolve);
  EXPECT_TRUE(events.empty());
  dispatcher->setConnState(connState::ready);
  EXPECT_EQ(dispatcher->connState(), connState::ready);
  EXPECT_EQ(events, (Events{"second 4", "first 4"}));
}

TEST(DispatcherConnState, SubscriptionsChangedDuringTheWalkDoNotDisturbIt) {
  auto dispatcher = makeDispatcher();
  Events events;
  ConnStateSubscription oldest = dispatcher->subscribeConnState(
      [&events, keep = token(&events, "oldest")](int) { events.push_back("oldest"); });
  ConnStateSubscription middle = dispatcher->subscribeConnState([&](int) { events.push_back("middle"); });
  ConnStateSubscription added;
  ConnStateSubscription newest;
  // The newest listener ends a listener not yet reached and itself, and
  // subscribes one more; its own captures must live until it returns.
  newest = dispatcher->subscribeConnState([&, name = std::string("newest")](int state) {
    oldest.reset();
    newest.reset();
    added = dispatcher->subscribeConnState([&](int) { events.push_back("added"); });
    events.push_back(name + " " + std::to_string(state));
  });

  dispatcher->acquire();
  dispatcher->post([&] {
    dispatcher->setConnState(2);
    events.push_back("walk done");
    dispatcher->post([&] {
      // The next pass: the ended listeners are gone, the added one is live.
      dispatcher->setConnState(3);
      added.reset();
      middle.reset();
      dispatcher->release();
    });
  });
  dispatcher->run();
  EXPECT_EQ(events, (Events{"newest 2", "middle", "walk done", "oldest destroyed", "added", "middle"}));
}

TEST(DispatcherShutdown, LeftoversAreDiscardedSoTheDispatcherIsReallyDestroyed) {
  CapturedDebugLog log;
  auto dispatcher = makeDispatcher();
  std::weak_ptr<MainDispatcher> weak = dispatcher;
  Events events;
  dispatcher->acquire();
  dispatcher->post([&] {
    dispatcher->release();
    // What a stopping channel leaves behind: a task holding the dispatcher,
    // and one holding a subscription (ended when the task is dropped).
    std::shared_ptr<MainDispatcher> self = dispatcher;
    dispatcher->post([self, &events] { events.push_back("late task ran"); });
    auto held = std::make_shared<ConnStateSubscription>(dispatcher->subscribeConnState(
        [&events, keep = token(&events, "late listener")](int) {}));
    dispatcher->post([held] {});
  });
  EXPECT_EQ(fatalCodeOf([&] {
              dispatcher->run();
              dispatcher.reset();
            }),
            -1);
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(events, (Events{"late listener destroyed"}));
  EXPECT_NE(log.text().find("Dispatcher: discarded 2 tasks and 1 ended subscriptions at exit\n"), std::string::npos);
}

}  // namespace
