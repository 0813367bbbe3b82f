#include "service/HttpThread.h"

#include <cstdlib>
#include <cstring>

#include "core/EventLoop.h"
#include "service/HttpResponseParser.h"
#include "service/TlsStream.h"

// The steps of one request. Each is made into a shared pointer that it keeps a
// weak copy of (for its posted tasks), holds a plain pointer to its thread,
// and is destroyed by the next transition: after calling a setState method or
// fail() a step touches nothing of itself.
class HttpState {
 public:
  explicit HttpState(HttpThread* thread) : thread_(thread) {}
  virtual void start() = 0;
  virtual ~HttpState() = default;

  template <class Step, class... Args>
  static std::shared_ptr<HttpState> make(Args&&... args) {
    auto step = std::make_shared<Step>(std::forward<Args>(args)...);
    step->self_ = step;
    return step;
  }

 protected:
  void fail() {
    HttpThread* thread = thread_;
    thread->listener()->onError();
    thread->clearState();
  }
  // A failure before any callback can come is reported on a later loop turn,
  // never from inside start().
  void failLater() {
    std::weak_ptr<HttpState> weak = self_;
    thread_->eventLoop()->post([weak] {
      if (auto step = weak.lock()) step->fail();
    });
  }
  template <class Step>
  void postToSelf(void (Step::*method)()) {
    std::weak_ptr<HttpState> weak = self_;
    thread_->eventLoop()->post([weak, method] {
      if (auto step = weak.lock()) (static_cast<Step*>(step.get())->*method)();
    });
  }

  HttpThread* thread_;
  std::weak_ptr<HttpState> self_;
};

namespace {

// A piece of the response: true to wait for more. After false the step is gone.
bool receiveResponse(HttpThread* thread, HttpResponseParser& parser, const char* data, size_t length) {
  if (parser.receive(data, length)) return true;
  thread->clearState();
  return false;
}

// The connection has ended; clean: the peer closed it in order.
void endResponse(HttpThread* thread, HttpResponseParser& parser, bool clean) {
  parser.end(clean);
  thread->clearState();
}

class HttpStateResolve : public HttpState {
 public:
  using HttpState::HttpState;
  void start() override {
    lookup_ = std::make_unique<NameLookup>(*thread_->eventLoop(), thread_->resolver(), thread_->url()->host,
                                           [this](uint32_t address) { onResolved(address); });
  }

 private:
  void onResolved(uint32_t address) {
    if (address != 0) {
      thread_->setStateConnect(address);
    } else {
      fail();
    }
  }

  std::unique_ptr<NameLookup> lookup_;  // abandoned, not waited for, when the step goes
};

class HttpStateConnect : public HttpState {
 public:
  HttpStateConnect(HttpThread* thread, uint32_t address) : HttpState(thread), address_(address) {}
  ~HttpStateConnect() override {
    if (request_) {
      request_->data = nullptr;
      uv_cancel(reinterpret_cast<uv_req_t*>(request_));
    }
    if (tcp_) {
      tcp_->data = nullptr;
      uv_close(reinterpret_cast<uv_handle_t*>(tcp_), &HttpStateConnect::freeHandle);
    }
  }
  void start() override {
    tcp_ = static_cast<uv_tcp_t*>(std::malloc(sizeof(uv_tcp_t)));
    if (uv_tcp_init(thread_->eventLoop()->loop(), tcp_) != 0) {
      std::free(tcp_);
      tcp_ = nullptr;
      failLater();
      return;
    }
    struct sockaddr_in target;
    std::memset(&target, 0, sizeof target);
    target.sin_family = AF_INET;
    target.sin_port = htons(thread_->url()->port);
    target.sin_addr.s_addr = htonl(address_);
    request_ = new uv_connect_t;
    request_->data = this;
    if (uv_tcp_connect(request_, tcp_, reinterpret_cast<const struct sockaddr*>(&target),
                       &HttpStateConnect::onConnected) != 0) {
      delete request_;
      request_ = nullptr;
      failLater();
    }
  }

 private:
  static void freeHandle(uv_handle_t* handle) { std::free(handle); }
  static void onConnected(uv_connect_t* request, int status) {
    auto* self = static_cast<HttpStateConnect*>(request->data);
    delete request;
    if (!self) return;
    self->request_ = nullptr;
    if (status != 0) {
      self->fail();
      return;
    }
    uv_tcp_t* tcp = self->tcp_;
    self->tcp_ = nullptr;
    // The TLS handshake goes out in several small writes, each waiting for the
    // peer's acknowledgement under Nagle's algorithm.
    uv_tcp_nodelay(tcp, 1);
    HttpThread* thread = self->thread_;
    thread->connectionMade();
    auto connection = std::make_unique<HttpConnection>(tcp, [thread] { thread->bytesArrived(); });
    if (self->thread_->url()->https) {
      self->thread_->setStateTlsHandshake(std::move(connection));
    } else {
      self->thread_->setStateSend(std::move(connection));
    }
  }

  uint32_t address_;
  uv_connect_t* request_ = nullptr;
  uv_tcp_t* tcp_ = nullptr;
};

class HttpStateSend : public HttpState, public HttpStreamHandler {
 public:
  HttpStateSend(HttpThread* thread, std::unique_ptr<HttpConnection> connection)
      : HttpState(thread), connection_(std::move(connection)) {
    connection_->setHandler(this);
  }
  void start() override {
    uv2wm_t* stream = connection_->stream();
    uv2wm_stop_read(stream);
    std::string text = buildGetRequest(*thread_->url());
    if (!text.empty()) uv2wm_write(stream, text.data(), text.size());
    uv2wm_set_writing(stream, 1);
  }
  void onError() override { fail(); }
  void onWritten() override { thread_->setStateRecv(std::move(connection_)); }
  void onData(const char*, size_t) override {}

 private:
  std::unique_ptr<HttpConnection> connection_;
};

class HttpStateRecv : public HttpState, public HttpStreamHandler {
 public:
  HttpStateRecv(HttpThread* thread, std::unique_ptr<HttpConnection> connection)
      : HttpState(thread), connection_(std::move(connection)), parser_(thread->listener()) {
    connection_->setHandler(this);
  }
  void start() override {
    uv2wm_t* stream = connection_->stream();
    uv2wm_set_writing(stream, 0);
    uv2wm_set_read_size(stream, 0, 0);
    uv2wm_start_read(stream);
  }
  void onError() override { endResponse(thread_, parser_, connection_->stream()->errorStatus == UV_EOF); }
  void onWritten() override {}
  void onData(const char* data, size_t length) override { receiveResponse(thread_, parser_, data, length); }

 private:
  std::unique_ptr<HttpConnection> connection_;
  HttpResponseParser parser_;
};

class HttpStateTlsHandshake : public HttpState, public TlsStreamHandler {
 public:
  HttpStateTlsHandshake(HttpThread* thread, std::unique_ptr<HttpConnection> connection)
      : HttpState(thread), stream_(std::make_unique<TlsStream>(this, thread->rng(), thread->url(), std::move(connection))) {}
  void start() override { postToSelf(&HttpStateTlsHandshake::run); }
  void onError() override { fail(); }
  bool onHandshakeDone() override {
    thread_->setStateTlsSend(std::move(stream_));
    return true;
  }
  bool onData(const char*, size_t) override { return true; }

 private:
  void run() {
    if (!stream_->setup()) fail();
  }

  std::unique_ptr<TlsStream> stream_;
};

class HttpStateTlsSend : public HttpState, public TlsStreamHandler {
 public:
  HttpStateTlsSend(HttpThread* thread, std::unique_ptr<TlsStream> stream)
      : HttpState(thread), stream_(std::move(stream)), text_(buildGetRequest(*thread->url())) {
    stream_->setOwner(this);
  }
  void start() override { postToSelf(&HttpStateTlsSend::sendTask); }
  void onError() override { fail(); }
  bool onHandshakeDone() override { return true; }
  bool onData(const char*, size_t) override {
    fail();
    return false;
  }
  bool onNetworkEvent() override { return started_ ? send() : true; }

 private:
  // One TLS record carries at most 16 KiB, and mbedTLS may need the network
  // before it goes on: the rest is written on a later event.
  bool send() {
    started_ = true;
    while (sent_ < text_.size()) {
      int result = stream_->write(reinterpret_cast<const unsigned char*>(text_.data()) + sent_, text_.size() - sent_);
      if (result == MBEDTLS_ERR_SSL_WANT_READ || result == MBEDTLS_ERR_SSL_WANT_WRITE) return true;
      if (result <= 0) {
        fail();
        return false;
      }
      sent_ += static_cast<size_t>(result);
    }
    thread_->setStateTlsRecv(std::move(stream_));
    return true;
  }
  void sendTask() { send(); }

  std::unique_ptr<TlsStream> stream_;
  std::string text_;
  size_t sent_ = 0;
  bool started_ = false;
};

class HttpStateTlsRecv : public HttpState, public TlsStreamHandler {
 public:
  HttpStateTlsRecv(HttpThread* thread, std::unique_ptr<TlsStream> stream)
      : HttpState(thread), stream_(std::move(stream)), parser_(thread->listener()) {
    stream_->setOwner(this);
  }
  void start() override {}
  void onError() override { endResponse(thread_, parser_, stream_->closeNotified()); }
  bool onHandshakeDone() override { return true; }
  bool onData(const char* data, size_t length) override { return receiveResponse(thread_, parser_, data, length); }

 private:
  std::unique_ptr<TlsStream> stream_;
  HttpResponseParser parser_;
};

}  // namespace

HttpThread::HttpThread(std::shared_ptr<RandomGenerator> rng, std::shared_ptr<HttpListener> listener,
                       std::shared_ptr<UrlParts> url, unsigned connectTimeoutMs, unsigned idleTimeoutMs,
                       NameResolver resolver)
    : listener_(std::move(listener)),
      rng_(std::move(rng)),
      url_(std::move(url)),
      connectTimeoutMs_(connectTimeoutMs),
      idleTimeoutMs_(idleTimeoutMs),
      resolver_(std::move(resolver)) {
  StartLatch latch;
  latch.init();
  thread_ = std::thread([this, &latch] { run(&latch); });
  latch.wait();
  latch.destroy();
}

HttpThread::~HttpThread() {
  loop_->post([this] { stop(); });
  thread_.join();
  url_.reset();
  rng_.reset();
  listener_.reset();
}

void HttpThread::run(StartLatch* latch) {
  loop_ = new EventLoop;
  loop_->acquire();
  timer_ = new uv_timer_t;
  uv_timer_init(loop_->loop(), timer_);
  timer_->data = this;
  latch->set();
  startRequest();
  loop_->runToEnd();
}

void HttpThread::startRequest() {
  uv_timer_start(timer_, &HttpThread::onTimeout, connectTimeoutMs_, 0);
  enter(HttpState::make<HttpStateResolve>(this));
}

void HttpThread::stop() {
  clearState();
  uv_close(reinterpret_cast<uv_handle_t*>(timer_),
           [](uv_handle_t* handle) { delete reinterpret_cast<uv_timer_t*>(handle); });
  timer_ = nullptr;
  loop_->release();
}

void HttpThread::connectionMade() {
  connected_ = true;
  uv_timer_start(timer_, &HttpThread::onTimeout, idleTimeoutMs_, 0);
}

void HttpThread::bytesArrived() {
  if (connected_ && state_) uv_timer_start(timer_, &HttpThread::onTimeout, idleTimeoutMs_, 0);
}

void HttpThread::onTimeout(uv_timer_t* timer) {
  auto* self = static_cast<HttpThread*>(timer->data);
  if (!self->state_) return;
  self->listener_->onError();
  self->clearState();
}

void HttpThread::enter(std::shared_ptr<HttpState> next) {
  // The previous step is destroyed here, inside its own event: it returns at
  // once. The new one is held locally so that start() outlives any transition.
  state_ = next;
  next->start();
}

void HttpThread::clearState() {
  // The request has ended: its time limit with it.
  if (timer_) uv_timer_stop(timer_);
  state_.reset();
}

void HttpThread::setStateConnect(uint32_t address) { enter(HttpState::make<HttpStateConnect>(this, address)); }

void HttpThread::setStateSend(std::unique_ptr<HttpConnection> connection) {
  enter(HttpState::make<HttpStateSend>(this, std::move(connection)));
}

void HttpThread::setStateTlsHandshake(std::unique_ptr<HttpConnection> connection) {
  enter(HttpState::make<HttpStateTlsHandshake>(this, std::move(connection)));
}

void HttpThread::setStateRecv(std::unique_ptr<HttpConnection> connection) {
  enter(HttpState::make<HttpStateRecv>(this, std::move(connection)));
}

void HttpThread::setStateTlsSend(std::unique_ptr<TlsStream> stream) {
  enter(HttpState::make<HttpStateTlsSend>(this, std::move(stream)));
}

void HttpThread::setStateTlsRecv(std::unique_ptr<TlsStream> stream) {
  enter(HttpState::make<HttpStateTlsRecv>(this, std::move(stream)));
}
