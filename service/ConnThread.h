#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "service/ConnReplySink.h"
#include "service/ConnStateIds.h"
#include "service/NameLookup.h"

class ConnChannel;
class ConnState;
class EventLoop;
class RandomGenerator;
struct uv_tcp_s;

// One API request on its way through the channel.
struct ConnRequest {
  std::shared_ptr<ConnReplySink> sink;
  std::string payload;
};

// The client's one connection to the backend: a worker thread with its own
// event loop that keeps the channel up (resolve, connect, key exchange) and
// carries requests one at a time. Each new state's number (connState::) goes
// to onState on the channel's thread.
class ConnThread {
 public:
  using StateCallback = std::function<void(int)>;
  static constexpr unsigned defaultReconnectPauseMs = 1000;
  // A request in flight whose reply sends no byte for this long ends the
  // connection, as a broken stream does.
  static constexpr unsigned defaultReplyTimeoutMs = 60000;
  // Payloads longer than this get an empty reply: the frame's length field
  // holds the payload plus its two length bytes.
  static constexpr size_t maxPayload = 65533;

  // The built-in backend endpoint and pause.
  ConnThread(std::shared_ptr<RandomGenerator> random, StateCallback onState);
  ConnThread(std::shared_ptr<RandomGenerator> random, StateCallback onState, std::string host, int port,
             unsigned reconnectPauseMs = defaultReconnectPauseMs, unsigned replyTimeoutMs = defaultReplyTimeoutMs,
             NameResolver resolver = resolveFirstIPv4);
  ConnThread(const ConnThread&) = delete;
  ConnThread& operator=(const ConnThread&) = delete;
  // Fails every request still held, then stops and joins the worker (a name
  // lookup still running is left behind, not waited for).
  ~ConnThread();

  // Any thread; the outcome comes later through sink on the channel's thread.
  void send(std::string payload, std::shared_ptr<ConnReplySink> sink);

  std::shared_ptr<RandomGenerator> randomSource() const { return random_; }

  // Channel's thread only: the states' way to move on. Each replaces the
  // current state whole; the caller's state may be gone when it returns.
  void enterWait();
  void enterResolve();
  void enterConnect(uint32_t address);  // IPv4, host byte order
  void enterHandshake(uv_tcp_s* tcp);
  void enterReady(std::unique_ptr<ConnChannel> channel);
  void enterBusy(std::unique_ptr<ConnChannel> channel, std::shared_ptr<ConnRequest> first);

  EventLoop& eventLoop() { return *loop_; }
  const std::string& host() const { return host_; }
  int port() const { return port_; }
  unsigned reconnectPauseMs() const { return reconnectPauseMs_; }
  unsigned replyTimeoutMs() const { return replyTimeoutMs_; }
  const NameResolver& resolver() const { return resolver_; }

 private:
  void threadBody();
  void dispatchRequest(const std::shared_ptr<ConnRequest>& request);
  void stop();
  void transition(std::shared_ptr<ConnState> next);

  std::shared_ptr<RandomGenerator> random_;
  StateCallback onState_;
  std::string host_;
  int port_;
  unsigned reconnectPauseMs_;
  unsigned replyTimeoutMs_;
  NameResolver resolver_;
  EventLoop* loop_ = nullptr;
  std::shared_ptr<ConnState> current_;
  struct Worker;
  std::unique_ptr<Worker> worker_;
};
