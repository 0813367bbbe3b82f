#pragma once

#include <memory>
#include <thread>

#include "service/HttpListener.h"
#include "service/NameLookup.h"
#include "service/Url.h"

class EventLoop;
class StartLatch;
class RandomGenerator;
class HttpState;
class HttpConnection;
class TlsStream;
struct uv_timer_s;

// One HTTP/1.1 GET, plain or over TLS, on a thread and libuv loop of its own.
// The request starts in the constructor and reports to the listener on that
// thread. Destroying the object is the only way to cancel; a cancelled request
// reports nothing. No redirects, retries or connection reuse. A request fails
// (onError) when its connection is not made within connectTimeoutMs, or when
// no byte arrives for idleTimeoutMs after that.
//
// HTTPS servers are verified against the system's root certificates: the
// Windows "ROOT" store, or natively the PEM file of setRootCaFile
// (service/posix/RootCaFile.h).
class HttpThread {
 public:
  static constexpr unsigned defaultConnectTimeoutMs = 30000;
  static constexpr unsigned defaultIdleTimeoutMs = 60000;

  HttpThread(std::shared_ptr<RandomGenerator> rng, std::shared_ptr<HttpListener> listener,
             std::shared_ptr<UrlParts> url, unsigned connectTimeoutMs = defaultConnectTimeoutMs,
             unsigned idleTimeoutMs = defaultIdleTimeoutMs, NameResolver resolver = resolveFirstIPv4);
  // Stops the request, joins the thread, then releases url, rng and listener
  // (the listener last, on the destroying thread). A name lookup still
  // running is left behind, not waited for.
  ~HttpThread();
  HttpThread(const HttpThread&) = delete;
  HttpThread& operator=(const HttpThread&) = delete;

  // Request thread only: the steps' transitions and what they share. Each
  // setState call destroys the calling step, which touches nothing afterwards.
  void setStateConnect(uint32_t address);
  void setStateSend(std::unique_ptr<HttpConnection> connection);
  void setStateTlsHandshake(std::unique_ptr<HttpConnection> connection);
  void setStateRecv(std::unique_ptr<HttpConnection> connection);
  void setStateTlsSend(std::unique_ptr<TlsStream> stream);
  void setStateTlsRecv(std::unique_ptr<TlsStream> stream);
  void clearState();
  // The connection is made: from now on the idle limit runs, restarted by
  // every arrival of bytes.
  void connectionMade();
  void bytesArrived();
  EventLoop* eventLoop() const { return loop_; }
  const NameResolver& resolver() const { return resolver_; }
  const std::shared_ptr<HttpListener>& listener() const { return listener_; }
  const std::shared_ptr<RandomGenerator>& rng() const { return rng_; }
  const std::shared_ptr<UrlParts>& url() const { return url_; }

 private:
  void run(StartLatch* latch);
  void startRequest();
  void stop();
  void enter(std::shared_ptr<HttpState> next);
  static void onTimeout(uv_timer_s* timer);

  EventLoop* loop_ = nullptr;
  std::thread thread_;
  std::shared_ptr<HttpListener> listener_;
  std::shared_ptr<RandomGenerator> rng_;
  std::shared_ptr<UrlParts> url_;
  std::shared_ptr<HttpState> state_;
  unsigned connectTimeoutMs_;
  unsigned idleTimeoutMs_;
  NameResolver resolver_;
  uv_timer_s* timer_ = nullptr;  // the request's time limit, from run to stop
  bool connected_ = false;
};
