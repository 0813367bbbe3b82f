#include <gtest/gtest.h>
#include <uv.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/LoopbackPairTest.h"
#include "uv2wm/uv2wm.h"

namespace {

struct Event {
  uint8_t event;
  std::string data;
  bool fromCachedBuffer;
};

std::string pattern(size_t length, unsigned seed) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xff);
  return bytes;
}

std::string illegalLine(int line) { return "uv2wm: illegal state: uv2wm\\uv2wm:" + std::to_string(line) + "\n"; }

// A record on one end of a loopback TCP connection; the test drives the other
// end (the peer) with plain libuv on the same loop.
class Uv2wmTest : public LoopbackPairTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(openPair());
    record_ = uv2wm_new(reinterpret_cast<uv_stream_t*>(client_), this, onEvent);
  }

  void TearDown() override {
    if (record_) uv2wm_free(record_);
    closePair();
  }

  size_t deliveredBytes() const {
    size_t total = 0;
    for (const Event& e : events_)
      if (e.event == UV2WM_EVENT_DATA) total += e.data.size();
    return total;
  }
  std::string deliveredData() const {
    std::string all;
    for (const Event& e : events_)
      if (e.event == UV2WM_EVENT_DATA) all += e.data;
    return all;
  }
  int count(uint8_t event) const {
    int n = 0;
    for (const Event& e : events_) n += e.event == event;
    return n;
  }

  // Sends each piece once the record has taken in everything before it.
  void sendInPieces(const std::vector<std::string>& pieces) {
    size_t sent = 0;
    for (const std::string& piece : pieces) {
      ASSERT_TRUE(runUntil([&] { return deliveredBytes() + record_->pendingLength == sent; })) << sent;
      peerSend(piece);
      sent += piece.size();
    }
    ASSERT_TRUE(runUntil([&] { return deliveredBytes() == sent; })) << deliveredBytes() << " of " << sent;
  }

  uv2wm_t* record_ = nullptr;
  std::vector<Event> events_;
  std::function<void(uint8_t)> onEventHook_;

 private:
  static void onEvent(uv2wm_t* record, void* user, uint8_t event, const char* data, size_t length) {
    auto* self = static_cast<Uv2wmTest*>(user);
    EXPECT_EQ(record, self->record_);
    if (event != UV2WM_EVENT_DATA) {
      EXPECT_EQ(data, nullptr);
      EXPECT_EQ(length, 0u);
    }
    self->events_.push_back(
        Event{event, data ? std::string(data, length) : std::string(), data && data == record->readBuffer});
    if (self->onEventHook_) self->onEventHook_(event);
  }
};

TEST_F(Uv2wmTest, DeliversInPiecesOfTheSetSize) {
  struct Case {
    const char* name;
    int32_t minDeliver;
    uint32_t maxRead;
    std::vector<size_t> pieces;     // sent one after another
    std::vector<size_t> deliveries; // exact lengths; empty: any up to the limit
    size_t largest;
    bool fromCache;                 // every delivery straight from the read buffer
  } cases[] = {
      {"(16,16) as 5 + 11", 16, 16, {5, 11}, {16}, 16, false},
      {"(16,16) as 5 + 11 + 16 + 3 + 13", 16, 16, {5, 11, 16, 3, 13}, {16, 16, 16}, 16, false},
      {"(48,48) in one read", 48, 48, {48}, {48}, 48, true},
      {"(0,0) with 70000 bytes", 0, 0, {70000}, {}, 65536, true},
      {"(0,1) with 5 bytes", 0, 1, {5}, {1, 1, 1, 1, 1}, 1, true},
      {"(4,0) as 1 + 1 + 1 + 1", 4, 0, {1, 1, 1, 1}, {4}, 4, false},
  };
  unsigned seed = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    events_.clear();
    uv2wm_set_read_size(record_, c.minDeliver, c.maxRead);
    uv2wm_start_read(record_);
    std::vector<std::string> pieces;
    std::string sent;
    for (size_t length : c.pieces) {
      pieces.push_back(pattern(length, ++seed));
      sent += pieces.back();
    }
    sendInPieces(pieces);
    EXPECT_EQ(deliveredData(), sent);
    std::vector<size_t> lengths;
    for (const Event& e : events_) {
      ASSERT_EQ(e.event, UV2WM_EVENT_DATA);
      lengths.push_back(e.data.size());
      EXPECT_LE(e.data.size(), c.largest);
      if (c.fromCache) {
        EXPECT_TRUE(e.fromCachedBuffer);
      }
    }
    if (c.deliveries.empty()) {
      EXPECT_GE(lengths.size(), 2u);
    } else {
      EXPECT_EQ(lengths, c.deliveries);
    }
    EXPECT_EQ(record_->pendingLength, 0u);
    uv2wm_stop_read(record_);
  }
}

TEST_F(Uv2wmTest, InputWaitsWhileReadingIsOff) {
  uv2wm_set_read_size(record_, 3, 3);
  uv2wm_start_read(record_);
  peerSend("abc");
  ASSERT_TRUE(runUntil([&] { return count(UV2WM_EVENT_DATA) == 1; }));
  uv2wm_stop_read(record_);
  peerSend("defgh");
  settle();
  EXPECT_EQ(events_.size(), 1u);
  uv2wm_set_read_size(record_, 5, 5);
  uv2wm_start_read(record_);
  ASSERT_TRUE(runUntil([&] { return count(UV2WM_EVENT_DATA) == 2; }));
  EXPECT_EQ(events_[1].data, "defgh");
}

TEST_F(Uv2wmTest, EndOfStreamIsAnErrorEventWithoutTheHeldBackBytes) {
  uv2wm_set_read_size(record_, 16, 16);
  uv2wm_start_read(record_);
  peerSend("early");
  ASSERT_TRUE(runUntil([&] { return record_->pendingLength == 5; }));
  closePeer();
  ASSERT_TRUE(runUntil([&] { return !events_.empty(); }));
  settle();
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0].event, UV2WM_EVENT_ERROR);
  EXPECT_EQ(record_->errorStatus, UV_EOF);
}

// The same one event for a reset; only its cause tells it from an orderly end.
TEST_F(Uv2wmTest, ResetIsAnErrorEventThatIsNoOrderlyEnd) {
  uv2wm_set_read_size(record_, 0, 0);
  uv2wm_start_read(record_);
  peerSend("some bytes");
  ASSERT_TRUE(runUntil([&] { return deliveredBytes() == 10; }));
  peerOpen_ = false;
  ASSERT_EQ(uv_tcp_close_reset(&peer_, nullptr), 0);
  ASSERT_TRUE(runUntil([&] { return count(UV2WM_EVENT_ERROR) == 1; }));
  settle();
  EXPECT_EQ(count(UV2WM_EVENT_ERROR), 1);
  EXPECT_NE(record_->errorStatus, UV_EOF);
  EXPECT_LT(record_->errorStatus, 0);
}

TEST_F(Uv2wmTest, QueuedWritesGoOutAsOneWriteAndDrainOnce) {
  uv2wm_write(record_, "first,", 6);
  uv2wm_write(record_, "second,", 7);
  uv2wm_write(record_, "third", 5);
  EXPECT_EQ(record_->inFlight, nullptr);
  settle();
  EXPECT_EQ(peerReceived_, "");

  uv2wm_set_writing(record_, 1);
  ASSERT_NE(record_->inFlight, nullptr);
  EXPECT_EQ(record_->inFlight->buffer.len, 18u);
  EXPECT_EQ(record_->queueLength, 0u);
  ASSERT_TRUE(runUntil([&] { return count(UV2WM_EVENT_DRAINED) == 1 && peerReceived_.size() == 18; }));
  settle();
  EXPECT_EQ(peerReceived_, "first,second,third");
  ASSERT_EQ(events_.size(), 1u);

  // With writing on, a write goes out at once; one written during it waits
  // for it and is followed by the one drained event.
  events_.clear();
  const std::string big = pattern(200000, 3);
  uv2wm_write(record_, big.data(), big.size());
  ASSERT_NE(record_->inFlight, nullptr);
  uv2wm_write(record_, "tail", 4);
  EXPECT_EQ(record_->queueLength, 4u);
  ASSERT_TRUE(runUntil([&] { return count(UV2WM_EVENT_DRAINED) == 1 && peerReceived_.size() == 18 + big.size() + 4; }));
  settle();
  EXPECT_EQ(peerReceived_, "first,second,third" + big + "tail");
  EXPECT_EQ(events_.size(), 1u);
}

TEST_F(Uv2wmTest, WritingOffDetachesTheWriteInFlight) {
  uv2wm_set_writing(record_, 1);
  uv2wm_write(record_, "detached", 8);
  testing::internal::CaptureStderr();
  uv2wm_set_writing(record_, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), illegalLine(232));
  EXPECT_EQ(record_->inFlight, nullptr);
  ASSERT_TRUE(runUntil([&] { return peerReceived_ == "detached"; }));
  settle();
  EXPECT_TRUE(events_.empty());
}

TEST_F(Uv2wmTest, IllegalStatesReportTheirLineAndGoOn) {
  struct Case {
    const char* name;
    std::function<void()> act;
    int line;
  } cases[] = {
      {"minimum at or below what is held back", [&] { uv2wm_set_read_size(record_, 2, 16); }, 268},
      {"maximum at or below what is held back", [&] { uv2wm_set_read_size(record_, 8, 3); }, 270},
      {"write with writing on and a stale queue",
       [&] {
         record_->writing = 1;
         uv2wm_write(record_, "dropped", 7);
         EXPECT_EQ(record_->inFlight, nullptr);
         record_->writing = 0;
       },
       172},
  };
  uv2wm_set_read_size(record_, 16, 16);
  uv2wm_start_read(record_);
  peerSend("held");
  ASSERT_TRUE(runUntil([&] { return record_->pendingLength == 4; }));
  uv2wm_write(record_, "queued", 6);
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    c.act();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), illegalLine(c.line)) << c.name;
  }
  EXPECT_EQ(record_->minDeliver, 8);
  EXPECT_EQ(record_->maxRead, 3u);
  EXPECT_EQ(record_->queueLength, 6u);

  // A write in flight while writing is off: the new bytes are dropped.
  uv2wm_set_writing(record_, 1);
  ASSERT_NE(record_->inFlight, nullptr);
  record_->writing = 0;
  testing::internal::CaptureStderr();
  uv2wm_write(record_, "dropped", 7);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), illegalLine(207));
  record_->writing = 1;
  ASSERT_TRUE(runUntil([&] { return count(UV2WM_EVENT_DRAINED) == 1; }));
  settle();
  EXPECT_EQ(peerReceived_, "queued");
}

TEST_F(Uv2wmTest, FreeWithAWriteInFlightReportsNothing) {
  const std::string big = pattern(1 << 20, 5);
  uv2wm_set_writing(record_, 1);
  uv2wm_write(record_, big.data(), big.size());
  ASSERT_NE(record_->inFlight, nullptr);
  uv2wm_free(record_);
  record_ = nullptr;
  ASSERT_TRUE(runUntil([&] { return peerEnded_; }));
  settle();
  EXPECT_TRUE(events_.empty());
}

// The callback may free the record from any event; the module must not touch
// it afterwards (the sanitizers see any access).
TEST_F(Uv2wmTest, CallbackMayFreeTheRecord) {
  struct Case {
    const char* name;
    std::function<void()> start;
    uint8_t event;
  } cases[] = {
      {"data from the read buffer", [&] { uv2wm_start_read(record_); peerSend(pattern(3000, 1)); }, 0},
      {"joined data",
       [&] {
         uv2wm_set_read_size(record_, 16, 16);
         uv2wm_start_read(record_);
         peerSend("12345");
         ASSERT_TRUE(runUntil([&] { return record_->pendingLength == 5; }));
         peerSend("6789abcdefghijklmnop");
       },
       0},
      {"drained", [&] { uv2wm_set_writing(record_, 1); uv2wm_write(record_, "x", 1); }, 1},
      {"end of stream", [&] { uv2wm_start_read(record_); closePeer(); }, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!record_) SetUp();
    events_.clear();
    onEventHook_ = [&](uint8_t) {
      uv2wm_free(record_);
      record_ = nullptr;
    };
    c.start();
    ASSERT_TRUE(runUntil([&] { return record_ == nullptr; }));
    if (peerOpen_) peerSend("more");
    settle();
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].event, c.event);
    onEventHook_ = nullptr;
    TearDown();
  }
  record_ = nullptr;
  SetUp();
}

TEST_F(Uv2wmTest, RefusedWriteIsReportedOnALaterTurn) {
  auto* unconnected = static_cast<uv_tcp_t*>(std::malloc(sizeof(uv_tcp_t)));
  uv_tcp_init(&loop_, unconnected);
  int reported = 0;
  uv2wm_t* record = uv2wm_new(reinterpret_cast<uv_stream_t*>(unconnected), &reported,
                              [](uv2wm_t*, void* user, uint8_t event, const char*, size_t) {
                                EXPECT_EQ(event, UV2WM_EVENT_ERROR);
                                ++*static_cast<int*>(user);
                              });
  uv2wm_set_writing(record, 1);
  uv2wm_write(record, "nowhere", 7);
  EXPECT_EQ(reported, 0);
  EXPECT_EQ(record->inFlight, nullptr);
  ASSERT_TRUE(runUntil([&] { return reported == 1; }));
  settle();
  EXPECT_EQ(reported, 1);
  uv2wm_free(record);
}

}  // namespace
