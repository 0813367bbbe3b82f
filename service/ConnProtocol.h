#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "uv2wm/uv2wm.h"

class RandomGenerator;

// The live connection that the handshake, ready and busy states hand on to
// each other. Destroying it closes the stream and zeroises the keys.
class ConnChannel {
 public:
  explicit ConnChannel(std::shared_ptr<RandomGenerator> random);
  ~ConnChannel();
  ConnChannel(const ConnChannel&) = delete;
  ConnChannel& operator=(const ConnChannel&) = delete;

  uv2wm_t* stream = nullptr;
  unsigned char receiveIv[16] = {};
  unsigned char receiveKey[32] = {};
  unsigned char sendIv[16] = {};
  unsigned char sendKey[32] = {};
  std::shared_ptr<RandomGenerator> random;
};

// Takes the stream's events while the handshake or the busy state is current.
class ConnStreamHandler {
 public:
  virtual void onData(const unsigned char* data, size_t length) = 0;
  virtual void onWritten() = 0;
  virtual ~ConnStreamHandler() = default;
};

// What a handler needs of its state. A handler calls setHandler or one of the
// endings last: the state, and the handler with it, may be gone afterwards.
class ConnHandlerHost {
 public:
  virtual ConnChannel& channel() = 0;
  virtual void setHandler(std::shared_ptr<ConnStreamHandler> next) = 0;
 protected:
  ~ConnHandlerHost() = default;
};

class ConnHandshakeHost : public ConnHandlerHost {
 public:
  virtual void keysReady() = 0;
 protected:
  ~ConnHandshakeHost() = default;
};

class ConnBusyHost : public ConnHandlerHost {
 public:
  virtual void replyComplete(std::string text) = 0;
  virtual void replyBroken() = 0;
 protected:
  ~ConnBusyHost() = default;
};

// Largest inflated reply: a small compressed reply cannot make the client
// allocate without bound.
constexpr size_t maxInflatedReply = 32u << 20;

// One frame (two length bytes, the data, random fill to the block's end) under
// AES-256-CBC, queued block by block on stream; iv carries the chain on.
void sendEncryptedFrame(uv2wm_t* stream, const unsigned char key[32], unsigned char iv[16], const unsigned char* data,
                        size_t length, RandomGenerator& random);

// Blocks a frame of length payload bytes takes: the length field and the
// payload, rounded up to whole blocks.
constexpr size_t frameBlocks(size_t length) { return (length + 17) / 16; }

// Handshake: draws the keys, sends the 320-byte key exchange, then waits for
// the 48-byte reply that carries the send keys.
class ConnKeyExchange : public ConnStreamHandler {
 public:
  explicit ConnKeyExchange(ConnHandshakeHost& host);
  void onData(const unsigned char*, size_t) override {}
  void onWritten() override;

 private:
  ConnHandshakeHost& host_;
};

class ConnKeyReply : public ConnStreamHandler {
 public:
  explicit ConnKeyReply(ConnHandshakeHost& host);
  void onData(const unsigned char* data, size_t length) override;
  void onWritten() override {}

 private:
  ConnHandshakeHost& host_;
};

// Busy: one request frame out, then its reply frame in.
class ConnSender : public ConnStreamHandler {
 public:
  ConnSender(ConnBusyHost& host, const std::string& payload);
  void onData(const unsigned char*, size_t) override {}
  void onWritten() override;

 private:
  ConnBusyHost& host_;
};

class ConnReceiver : public ConnStreamHandler {
 public:
  explicit ConnReceiver(ConnBusyHost& host);
  ~ConnReceiver() override;
  void onData(const unsigned char* data, size_t length) override;
  void onWritten() override {}

 private:
  ConnBusyHost& host_;
  void complete();
  // Grows the payload to hold more decrypted bytes; false (the reply broken,
  // the handler possibly gone) when the process cannot hold them.
  bool makeRoom(size_t more);
  struct Schedule;
  std::unique_ptr<Schedule> schedule_;
  bool first_ = true;
  size_t expected_ = 0;
  size_t remaining_ = 0;  // frame bytes still to read after the first block
  size_t payloadRoom_ = 0;  // the most the payload may take: the announced frame
  // The payload so far, decrypted in place; it holds the frame's random fill
  // until the end, when it is cut to the payload.
  std::string payload_;
  size_t decrypted_ = 0;
  unsigned char carry_[16] = {};  // a cipher block split between reads
  size_t carried_ = 0;
};

// The reply text of a complete payload: the payload itself, or, behind a 0x00
// byte, its raw deflate stream inflated. NumberError 24 when the stream does
// not take exactly the rest of the payload; std::exception when it is bad.
std::string decodeReplyPayload(std::string payload, size_t limit = maxInflatedReply);
