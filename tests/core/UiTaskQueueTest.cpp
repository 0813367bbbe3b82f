#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "core/FatalError.h"
#include "core/UiTaskQueue.h"
#include "tests/support/FatalTrap.h"

#ifdef _WIN32
#include <windows.h>

#include "core/win/UiTaskQueueWin.h"
#endif

namespace {

using SignalFactory = std::unique_ptr<UiTaskQueue::Signal> (*)();

class UiTaskQueueTest : public ::testing::TestWithParam<SignalFactory> {};

TEST_P(UiTaskQueueTest, TasksFromSeveralThreadsRunInOrderOnTheLoopThread) {
  UiTaskQueue queue(GetParam()());
  queue.hold();
  constexpr int kThreads = 4;
  constexpr int kTasks = 300;
  std::map<int, std::vector<int>> seen;  // touched on the loop thread only
  std::vector<std::thread::id> runners;
  int left = kThreads * kTasks;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&queue, &seen, &runners, &left, t] {
      for (int i = 0; i < kTasks; ++i) {
        queue.post([&queue, &seen, &runners, &left, t, i] {
          seen[t].push_back(i);
          runners.push_back(std::this_thread::get_id());
          if (--left == 0) queue.release();
        });
        if (i % 50 == 0) std::this_thread::yield();
      }
    });
  }
  queue.run();
  for (auto& poster : posters) poster.join();

  EXPECT_EQ(queue.holders(), 0);
  ASSERT_EQ(seen.size(), size_t(kThreads));
  for (auto& [thread, order] : seen) {
    ASSERT_EQ(order.size(), size_t(kTasks)) << thread;
    for (int i = 0; i < kTasks; ++i) ASSERT_EQ(order[i], i) << "thread " << thread;
  }
  for (auto id : runners) ASSERT_EQ(id, std::this_thread::get_id());
}

TEST_P(UiTaskQueueTest, RunEndsOnlyWhenEveryHolderHasLetGo) {
  UiTaskQueue queue(GetParam()());
  queue.run();  // nobody holds it: returns at once

  // Two holders, let go from another thread's tasks one after the other; the
  // first release must not end the loop.
  queue.hold();
  queue.hold();
  std::vector<int> holdersSeen;
  std::thread worker([&] {
    queue.post([&] {
      queue.release();
      holdersSeen.push_back(queue.holders());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    queue.post([&] {
      queue.release();
      holdersSeen.push_back(queue.holders());
    });
  });
  queue.run();
  worker.join();
  EXPECT_EQ(holdersSeen, (std::vector<int>{1, 0}));
}

TEST_P(UiTaskQueueTest, LettingGoTwiceInOnePassStillEndsTheLoop) {
  // A window finished by Cancel and by its own destruction in the same pass.
  UiTaskQueue queue(GetParam()());
  queue.hold();
  queue.post([&] {
    queue.release();
    queue.release();
  });
  queue.run();
  EXPECT_EQ(queue.holders(), -1);
}

TEST_P(UiTaskQueueTest, TaskPostedByATaskRunsAfterTheTakenOnes) {
  UiTaskQueue queue(GetParam()());
  queue.hold();
  std::vector<int> order;
  queue.post([&] {
    order.push_back(1);
    queue.post([&] {
      order.push_back(3);
      queue.release();
    });
  });
  queue.post([&] { order.push_back(2); });
  queue.run();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_P(UiTaskQueueTest, TasksLeftAtDestructionAreFatal) {
  EXPECT_FATAL_EXIT(
      {
        UiTaskQueue queue(GetParam()());
        queue.post([] {});
      },
      56);
}

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(Signals, UiTaskQueueTest, ::testing::Values(&makeConditionSignal, &makeMessageWaitSignal));
#else
INSTANTIATE_TEST_SUITE_P(Signals, UiTaskQueueTest, ::testing::Values(&makeConditionSignal));
#endif

#ifdef _WIN32
// The loop of a thread with windows dispatches their messages while it waits.
UiTaskQueue* messageQueue = nullptr;

LRESULT CALLBACK releasingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) {
    messageQueue->release();
    return 42;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

TEST(UiTaskQueueMessagesTest, WindowMessagesAreDispatchedWhileWaiting) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = releasingProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"ZavUiTaskQueueTest";
  ASSERT_NE(RegisterClassW(&windowClass), 0);
  HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
  ASSERT_NE(window, nullptr);

  UiTaskQueue queue(makeMessageWaitSignal());
  messageQueue = &queue;
  queue.hold();
  queue.hold();
  std::atomic<LRESULT> sentResult{0};
  // Neither message comes with a task: only the wait on window input can see them.
  std::thread other([&] {
    sentResult = SendMessageW(window, WM_APP, 0, 0);
    PostMessageW(window, WM_APP, 0, 0);
  });
  queue.run();
  other.join();
  EXPECT_EQ(sentResult.load(), 42);
  EXPECT_EQ(queue.holders(), 0);
  DestroyWindow(window);
  messageQueue = nullptr;
}
#endif

}  // namespace
