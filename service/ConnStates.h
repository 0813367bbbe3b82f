#pragma once

#include <uv.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "service/ConnProtocol.h"
#include "service/ConnStateIds.h"
#include "service/ConnThread.h"
#include "service/NameLookup.h"

// Base of the channel's six states. Each holds the channel's loop alive while
// it exists; its destructor closes what it holds and fails the requests it holds.
class ConnState : public std::enable_shared_from_this<ConnState> {
 public:
  explicit ConnState(ConnThread& thread);
  virtual ~ConnState();
  ConnState(const ConnState&) = delete;
  ConnState& operator=(const ConnState&) = delete;

  // Called once, after the state has become current; never transitions.
  virtual void enter() = 0;
  virtual int id() const = 0;
  // Not connected: the request fails at once.
  virtual void handleRequest(std::shared_ptr<ConnRequest> request);

 protected:
  // A failure found inside enter: back to wait from a task of its own, if this
  // state is still current by then.
  void failLater();

  ConnThread& thread_;
};

class ConnStateWait : public ConnState {
 public:
  explicit ConnStateWait(ConnThread& thread);
  ~ConnStateWait() override;
  void enter() override;
  int id() const override { return connState::wait; }

 private:
  static void onTimer(uv_timer_t* timer);
  uv_timer_t* timer_;
};

class ConnStateResolve : public ConnState {
 public:
  explicit ConnStateResolve(ConnThread& thread);
  ~ConnStateResolve() override;
  void enter() override;
  int id() const override { return connState::resolve; }

 private:
  void onResolved(uint32_t address);
  std::unique_ptr<NameLookup> lookup_;  // abandoned, not waited for, when the state goes
};

class ConnStateConnect : public ConnState {
 public:
  ConnStateConnect(ConnThread& thread, uint32_t address);
  ~ConnStateConnect() override;
  void enter() override;
  int id() const override { return connState::connect; }

 private:
  static void onConnected(uv_connect_t* request, int status);
  uint32_t address_;
  uv_tcp_t* tcp_ = nullptr;          // until handed to the handshake
  uv_connect_t* connect_ = nullptr;  // while pending
};

// A state whose stream events go to its current protocol handler (handshake
// and busy); a stream error or end of stream ends the connection.
class ConnHandlerState : public ConnState {
 protected:
  using ConnState::ConnState;
  static void onStream(uv2wm_t* record, void* user, uint8_t event, const char* data, size_t length);
  // Before the handler sees bytes that arrived.
  virtual void onBytes() {}
  std::shared_ptr<ConnStreamHandler> handler_;
};

class ConnStateHandshake : public ConnHandlerState, public ConnHandshakeHost {
 public:
  ConnStateHandshake(ConnThread& thread, uv_tcp_t* tcp);
  ~ConnStateHandshake() override;
  void enter() override;
  int id() const override { return connState::handshake; }

 private:
  ConnChannel& channel() override { return *channel_; }
  void setHandler(std::shared_ptr<ConnStreamHandler> next) override { handler_ = std::move(next); }
  void keysReady() override;

  std::unique_ptr<ConnChannel> channel_;
};

class ConnStateReady : public ConnState {
 public:
  ConnStateReady(ConnThread& thread, std::unique_ptr<ConnChannel> channel);
  void enter() override;
  int id() const override { return connState::ready; }
  void handleRequest(std::shared_ptr<ConnRequest> request) override;

 private:
  static void onStream(uv2wm_t* record, void* user, uint8_t event, const char* data, size_t length);
  std::unique_ptr<ConnChannel> channel_;
};

class ConnStateBusy : public ConnHandlerState, public ConnBusyHost {
 public:
  ConnStateBusy(ConnThread& thread, std::unique_ptr<ConnChannel> channel, std::shared_ptr<ConnRequest> first);
  ~ConnStateBusy() override;
  void enter() override;
  int id() const override { return connState::busy; }
  void handleRequest(std::shared_ptr<ConnRequest> request) override;

 private:
  ConnChannel& channel() override { return *channel_; }
  void setHandler(std::shared_ptr<ConnStreamHandler> next) override { handler_ = std::move(next); }
  void replyComplete(std::string text) override;
  void replyBroken() override;
  void onBytes() override;
  void next();
  void armReplyTimer();
  static void onReplyTimeout(uv_timer_t* timer);

  std::unique_ptr<ConnChannel> channel_;
  uv_timer_t* replyTimer_;  // runs while a request is in flight and no reply byte comes
  std::deque<std::shared_ptr<ConnRequest>> queue_;
  std::shared_ptr<ConnRequest> inFlight_;
};
