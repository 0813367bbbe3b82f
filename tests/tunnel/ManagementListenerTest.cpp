// The management listener on a loop of its own: where it listens, what the
// default handler does, a handler that destroys the listener from inside its
// own call (the hand-over to the established state), and the port closed
// with it. Portable: natively under the sanitizers and under Wine.
#include "tests/tunnel/LoopbackClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "tests/support/LoopThread.h"
#include "tunnel/ManagementListener.h"

namespace {

// Waits until the loop has seen something, bounded.
template <class Predicate>
bool waitUntil(LoopThread& thread, Predicate seen) {
  for (int i = 0; i < 500; ++i) {
    bool yes = false;
    thread.run([&] { yes = seen(); });
    if (yes) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(ManagementListenerTest, ListensOnLoopbackOnAPortTheSystemChose) {
  LoopThread thread;
  std::unique_ptr<ManagementListener> first, second;
  thread.run([&] {
    first = ManagementListener::create(thread.loop());
    second = ManagementListener::create(thread.loop());
  });
  ASSERT_TRUE(first && second);
  EXPECT_NE(first->port(), 0);
  EXPECT_NE(first->port(), second->port());
  EXPECT_TRUE(listening(first->port()));
  thread.run([&] {
    first.reset();
    second.reset();
  });
}

// Until a handler is set (the machine in "cfg", or in "proc" before its
// start), every connection is closed and the listener goes on.
TEST(ManagementListenerTest, DefaultHandlerClosesEachConnection) {
  LoopThread thread;
  std::unique_ptr<ManagementListener> listener;
  thread.run([&] { listener = ManagementListener::create(thread.loop()); });
  ASSERT_TRUE(listener);
  for (int i = 0; i < 2; ++i) {
    LoopbackClient client;
    ASSERT_TRUE(client.connectTo(listener->port()));
    EXPECT_TRUE(client.closedByPeer(5000)) << "connection " << i;
  }
  thread.run([&] { listener.reset(); });
}

// The handler takes the connection over and destroys the listener inside
// its own call: the connection stays open, the port closes.
TEST(ManagementListenerTest, HandlerMayDestroyTheListenerAndKeepsTheConnection) {
  LoopThread thread;
  std::unique_ptr<ManagementListener> listener;
  uv_tcp_t* taken = nullptr;
  thread.run([&] {
    listener = ManagementListener::create(thread.loop());
    if (!listener) return;
    // Its captures are read after the reset: a handler that is not a copy
    // is gone by then.
    listener->setOnConnection([&](uv_tcp_t* connection) {
      listener.reset();
      taken = connection;
    });
  });
  ASSERT_TRUE(listener);
  uint16_t port = listener->port();
  LoopbackClient client;
  ASSERT_TRUE(client.connectTo(port));
  ASSERT_TRUE(waitUntil(thread, [&] { return taken != nullptr; }));
  thread.run([&] { EXPECT_FALSE(listener); });
  EXPECT_FALSE(client.closedByPeer(200));
  EXPECT_FALSE(listening(port));
  thread.run([&] { ManagementListener::closeConnection(taken); });
  EXPECT_TRUE(client.closedByPeer(5000));
}

}  // namespace
