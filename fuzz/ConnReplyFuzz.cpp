// The channel's reply frame after decryption: the 3-byte length, the 0x00
// marker of a deflated payload and the inflate limit. The input is the plain
// frame; it is encrypted here so the receiver runs exactly as on the wire.
#include <sys/socket.h>
#include <uv.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "service/ConnProtocol.h"
#include "tests/support/CbcEncrypt.h"

namespace {

const unsigned char kKey[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const unsigned char kIv[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};

// A connected stream the receiver can switch reading on for; the loop never runs.
uv2wm_t* idleStream() {
  static uv_loop_t loop;
  uv_loop_init(&loop);
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
  auto* pipe = static_cast<uv_pipe_t*>(std::malloc(sizeof(uv_pipe_t)));
  uv_pipe_init(&loop, pipe, 0);
  if (uv_pipe_open(pipe, fds[0]) != 0) std::abort();
  return uv2wm_new(reinterpret_cast<uv_stream_t*>(pipe), nullptr, [](uv2wm_t*, void*, uint8_t, const char*, size_t) {});
}

class ReceiverHost : public ConnBusyHost {
 public:
  ReceiverHost() : channel_(nullptr) { channel_.stream = idleStream(); }
  ConnChannel& channel() override { return channel_; }
  void setHandler(std::shared_ptr<ConnStreamHandler>) override {}
  void replyComplete(std::string text) override {
    ++endings;
    complete = true;
    this->text = std::move(text);
  }
  void replyBroken() override { ++endings; }

  int endings = 0;
  bool complete = false;
  std::string text;

 private:
  ConnChannel channel_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ReceiverHost& host = *new ReceiverHost;
  host.endings = 0;
  host.complete = false;
  host.text.clear();
  std::memcpy(host.channel().receiveKey, kKey, sizeof kKey);
  std::memcpy(host.channel().receiveIv, kIv, sizeof kIv);

  std::string plain(reinterpret_cast<const char*>(data), size);
  plain.resize((plain.size() + 15) / 16 * 16 + (plain.empty() ? 16 : 0), '\0');
  const std::string cipher = cbcEncrypt(kKey, kIv, plain);

  {
    ConnReceiver receiver(host);
    for (size_t at = 0; at < cipher.size() && host.endings == 0; at += 16)
      receiver.onData(reinterpret_cast<const unsigned char*>(cipher.data()) + at, 16);
  }

  const size_t expected = (size_t(uint8_t(plain[0])) << 16) | (size_t(uint8_t(plain[1])) << 8) | uint8_t(plain[2]);
  if (plain.size() < 3 + expected) {
    FUZZ_CHECK(host.endings == 0);
    return 0;
  }
  FUZZ_CHECK(host.endings == 1);
  const std::string payload = plain.substr(3, expected);
  if (payload.empty() || payload[0] != '\0') {
    FUZZ_CHECK(host.complete && host.text == payload);
    return 0;
  }
  if (host.complete) FUZZ_CHECK(host.text.size() <= maxInflatedReply);

  // The same payload under a small limit: within it, or refused.
  const size_t limit = 4096;
  try {
    std::string text = decodeReplyPayload(payload, limit);
    FUZZ_CHECK(text.size() <= limit);
    FUZZ_CHECK(host.complete && text == host.text);
  } catch (const std::exception&) {
    FUZZ_CHECK(!host.complete || host.text.size() > limit);
  }
  return 0;
}
