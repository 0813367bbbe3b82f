// The reply side of the channel over a real loopback connection: how much each
// read asks for and how much the payload takes before its bytes have come.
#include <gtest/gtest.h>
#include <uv.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "service/ConnProtocol.h"
#include "tests/service/FailingAllocation.h"
#include "tests/support/CbcEncrypt.h"
#include "tests/support/LoopbackPairTest.h"

namespace {

const unsigned char kKey[32] = {7, 1, 7, 2, 7, 3, 7, 4, 7, 5, 7, 6, 7, 7, 7, 8, 7, 9, 7, 10, 7, 11, 7, 12,
                                7, 13, 7, 14, 7, 15, 7, 16};
const unsigned char kIv[16] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3};

std::string payloadBytes(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 13 + i / 253 + 1) & 0xff);
  return bytes;
}

// The reply frame as the service sends it: 24-bit length, payload, fill.
std::string encryptedReply(const std::string& payload, size_t announced) {
  std::string plain;
  plain += static_cast<char>(announced >> 16);
  plain += static_cast<char>(announced >> 8);
  plain += static_cast<char>(announced);
  plain += payload;
  plain.resize((plain.size() + 15) / 16 * 16, '\x5a');
  return cbcEncrypt(kKey, kIv, plain);
}

// A receiver on one end of a loopback TCP connection; the test writes the
// service's side on the other end, on the same loop.
class ConnReceiverTest : public LoopbackPairTest, public ConnBusyHost {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(openPair());
    channel_.stream = uv2wm_new(reinterpret_cast<uv_stream_t*>(client_), this, onEvent);
    std::memcpy(channel_.receiveKey, kKey, sizeof kKey);
    std::memcpy(channel_.receiveIv, kIv, sizeof kIv);
  }

  void TearDown() override {
    receiver_.reset();
    uv2wm_free(channel_.stream);
    channel_.stream = nullptr;
    closePair();
  }

  ConnChannel& channel() override { return channel_; }
  void setHandler(std::shared_ptr<ConnStreamHandler>) override {}
  void replyComplete(std::string text) override {
    ended_ = true;
    reply_ = std::move(text);
    complete_ = true;
  }
  void replyBroken() override { ended_ = true; }

  void startReceiving() { receiver_ = std::make_shared<ConnReceiver>(*this); }

  ConnChannel channel_{nullptr};
  std::shared_ptr<ConnReceiver> receiver_;
  bool ended_ = false, complete_ = false, streamError_ = false;
  std::string reply_;
  size_t largestRead_ = 0;    // the largest buffer the adapter gave libuv
  size_t largestAllowed_ = 0; // the largest read size the receiver asked for
  size_t delivered_ = 0;

 private:
  static void onEvent(uv2wm_t* record, void* user, uint8_t event, const char* data, size_t length) {
    auto* self = static_cast<ConnReceiverTest*>(user);
    if (event != UV2WM_EVENT_DATA) {
      self->streamError_ = event == UV2WM_EVENT_ERROR;
      return;
    }
    if (self->ended_) return;  // the channel drops the handler at its ending
    self->largestRead_ = std::max(self->largestRead_, record->readCapacity);
    self->largestAllowed_ = std::max<size_t>(self->largestAllowed_, record->maxRead);
    self->delivered_ += length;
    self->receiver_->onData(reinterpret_cast<const unsigned char*>(data), length);
    self->largestAllowed_ = std::max<size_t>(self->largestAllowed_, record->maxRead);
  }
};

// Sent in one write, the kernel hands the bytes over in whatever reads it
// likes; an odd cut leaves a block split across two reads.
TEST_F(ConnReceiverTest, LargeReplyArrivesWholeInReadsOfAtMost64KiB) {
  struct Case {
    const char* name;
    size_t length;
    size_t firstPiece;  // bytes sent before the rest; 0: all at once
  } cases[] = {
      {"4 MiB at once", size_t(4) << 20, 0},
      {"4 MiB + 5 cut mid-block", (size_t(4) << 20) + 5, 70001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::memcpy(channel_.receiveIv, kIv, sizeof kIv);
    ended_ = complete_ = false;
    largestRead_ = largestAllowed_ = delivered_ = 0;
    const std::string payload = payloadBytes(c.length);
    const std::string frame = encryptedReply(payload, c.length);
    startReceiving();
    if (c.firstPiece) {
      peerSend(frame.substr(0, c.firstPiece));
      ASSERT_TRUE(runUntil([&] { return delivered_ + channel_.stream->pendingLength >= c.firstPiece; }));
      peerSend(frame.substr(c.firstPiece));
    } else {
      peerSend(frame);
    }
    ASSERT_TRUE(runUntil([&] { return ended_ || streamError_; }));
    ASSERT_TRUE(complete_);
    EXPECT_TRUE(reply_ == payload) << reply_.size() << " bytes";
    EXPECT_EQ(delivered_, frame.size());
    EXPECT_LE(largestRead_, size_t(64) << 10);
    EXPECT_LE(largestAllowed_, size_t(64) << 10);
    receiver_.reset();
  }
}

// A first block may announce 16 MiB and nothing follow it: what the payload
// takes follows the bytes that came, so no large allocation is made for it.
TEST_F(ConnReceiverTest, AnnouncedLengthIsNotTakenAhead) {
  const size_t announced = (size_t(16) << 20) - 1;
  const std::string frame = encryptedReply(payloadBytes(100000), announced);
  startReceiving();
  peerSend(frame.substr(0, 16 + 100000 / 16 * 16));
  LargeAllocationsFail failing(size_t(1) << 20);
  ASSERT_TRUE(runUntil([&] { return delivered_ >= 16 + 100000 / 16 * 16 || ended_; }));
  EXPECT_FALSE(ended_) << "the reply was taken as broken (or complete) before its bytes came";
}

// The same limit still ends a reply that grows beyond what the process holds.
TEST_F(ConnReceiverTest, ReplyGrowingBeyondWhatCanBeHeldIsBroken) {
  const size_t length = size_t(3) << 20;
  const std::string frame = encryptedReply(payloadBytes(length), length);
  startReceiving();
  peerSend(frame);  // copied before the limit holds
  LargeAllocationsFail failing(size_t(1) << 20);
  ASSERT_TRUE(runUntil([&] { return ended_ || streamError_; }));
  EXPECT_TRUE(ended_);
  EXPECT_FALSE(complete_);
}

}  // namespace
