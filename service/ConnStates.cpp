#include "service/ConnStates.h"

#include <cstdlib>
#include <cstring>

#include "core/EventLoop.h"

ConnState::ConnState(ConnThread& thread) : thread_(thread) { thread_.eventLoop().acquire(); }

ConnState::~ConnState() { thread_.eventLoop().release(); }

void ConnState::handleRequest(std::shared_ptr<ConnRequest> request) { request->sink->onFailure(); }

void ConnState::failLater() {
  std::weak_ptr<ConnState> self = weak_from_this();
  ConnThread* thread = &thread_;
  thread_.eventLoop().post([self, thread] {
    if (self.lock()) thread->enterWait();
  });
}

// Wait ------------------------------------------------------------------

ConnStateWait::ConnStateWait(ConnThread& thread) : ConnState(thread), timer_(new uv_timer_t) {
  uv_timer_init(thread.eventLoop().loop(), timer_);
  timer_->data = nullptr;
}

ConnStateWait::~ConnStateWait() {
  timer_->data = nullptr;
  uv_close(reinterpret_cast<uv_handle_t*>(timer_),
           [](uv_handle_t* handle) { delete reinterpret_cast<uv_timer_t*>(handle); });
}

void ConnStateWait::enter() {
  timer_->data = this;
  uv_timer_start(timer_, &ConnStateWait::onTimer, thread_.reconnectPauseMs(), 0);
}

void ConnStateWait::onTimer(uv_timer_t* timer) {
  auto* state = static_cast<ConnStateWait*>(timer->data);
  if (state) state->thread_.enterResolve();
}

// Resolve ---------------------------------------------------------------

ConnStateResolve::ConnStateResolve(ConnThread& thread) : ConnState(thread) {}

ConnStateResolve::~ConnStateResolve() = default;

void ConnStateResolve::enter() {
  lookup_ = std::make_unique<NameLookup>(thread_.eventLoop(), thread_.resolver(), thread_.host(),
                                         [this](uint32_t address) { onResolved(address); });
}

void ConnStateResolve::onResolved(uint32_t address) {
  lookup_.reset();
  if (address != 0)
    thread_.enterConnect(address);
  else
    thread_.enterWait();
}

// Connect ---------------------------------------------------------------

namespace {
void freeTcp(uv_handle_t* handle) { std::free(handle); }
}  // namespace

ConnStateConnect::ConnStateConnect(ConnThread& thread, uint32_t address) : ConnState(thread), address_(address) {}

ConnStateConnect::~ConnStateConnect() {
  if (connect_) connect_->data = nullptr;  // closing the handle completes it as cancelled
  if (tcp_) {
    tcp_->data = nullptr;
    uv_close(reinterpret_cast<uv_handle_t*>(tcp_), &freeTcp);
  }
}

void ConnStateConnect::enter() {
  // The stream adapter frees the handle with free() once it owns it.
  tcp_ = static_cast<uv_tcp_t*>(std::malloc(sizeof(uv_tcp_t)));
  if (uv_tcp_init(thread_.eventLoop().loop(), tcp_) != 0) {
    std::free(tcp_);
    tcp_ = nullptr;
    failLater();
    return;
  }
  tcp_->data = nullptr;
  struct sockaddr_in peer;
  std::memset(&peer, 0, sizeof peer);
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(thread_.port()));
  peer.sin_addr.s_addr = htonl(address_);
  connect_ = new uv_connect_t;
  connect_->data = this;
  if (uv_tcp_connect(connect_, tcp_, reinterpret_cast<const struct sockaddr*>(&peer),
                     &ConnStateConnect::onConnected) != 0) {
    delete connect_;
    connect_ = nullptr;
    failLater();
  }
}

void ConnStateConnect::onConnected(uv_connect_t* request, int status) {
  auto* state = static_cast<ConnStateConnect*>(request->data);
  delete request;
  if (!state) return;
  state->connect_ = nullptr;
  if (status != 0) {
    state->thread_.enterWait();
    return;
  }
  uv_tcp_t* tcp = state->tcp_;
  state->tcp_ = nullptr;
  // A request frame must not wait for the acknowledgement of the one before.
  uv_tcp_nodelay(tcp, 1);
  state->thread_.enterHandshake(tcp);
}

// Handshake and busy ----------------------------------------------------

void ConnHandlerState::onStream(uv2wm_t*, void* user, uint8_t event, const char* data, size_t length) {
  auto* state = static_cast<ConnHandlerState*>(user);
  if (event == UV2WM_EVENT_ERROR) {
    state->thread_.enterWait();
    return;
  }
  if (event == UV2WM_EVENT_DATA) state->onBytes();
  // The handler may replace itself or end the state: it lives to the end of its call.
  std::shared_ptr<ConnStreamHandler> handler = state->handler_;
  if (event == UV2WM_EVENT_DATA)
    handler->onData(reinterpret_cast<const unsigned char*>(data), length);
  else
    handler->onWritten();
}


ConnStateHandshake::ConnStateHandshake(ConnThread& thread, uv_tcp_t* tcp)
    : ConnHandlerState(thread), channel_(new ConnChannel(thread.randomSource())) {
  channel_->stream = uv2wm_new(reinterpret_cast<uv_stream_t*>(tcp), static_cast<ConnHandlerState*>(this),
                               &ConnHandlerState::onStream);
}

ConnStateHandshake::~ConnStateHandshake() {
  handler_.reset();
  channel_.reset();
}

void ConnStateHandshake::enter() { handler_ = std::make_shared<ConnKeyExchange>(*this); }

void ConnStateHandshake::keysReady() { thread_.enterReady(std::move(channel_)); }

// Ready -----------------------------------------------------------------

ConnStateReady::ConnStateReady(ConnThread& thread, std::unique_ptr<ConnChannel> channel)
    : ConnState(thread), channel_(std::move(channel)) {}

void ConnStateReady::enter() {
  uv2wm_t* stream = channel_->stream;
  stream->user = this;
  stream->callback = &ConnStateReady::onStream;
  uv2wm_set_read_size(stream, 0, 1);
  uv2wm_start_read(stream);
  uv2wm_set_writing(stream, 0);
}

void ConnStateReady::onStream(uv2wm_t*, void* user, uint8_t event, const char*, size_t) {
  // The server speaks only when asked: anything else ends the connection.
  if (event == UV2WM_EVENT_DRAINED) return;
  static_cast<ConnStateReady*>(user)->thread_.enterWait();
}

void ConnStateReady::handleRequest(std::shared_ptr<ConnRequest> request) {
  thread_.enterBusy(std::move(channel_), std::move(request));
}

// Busy ------------------------------------------------------------------

ConnStateBusy::ConnStateBusy(ConnThread& thread, std::unique_ptr<ConnChannel> channel,
                             std::shared_ptr<ConnRequest> first)
    : ConnHandlerState(thread), channel_(std::move(channel)), replyTimer_(new uv_timer_t) {
  uv_timer_init(thread.eventLoop().loop(), replyTimer_);
  replyTimer_->data = this;
  queue_.push_back(std::move(first));
}

ConnStateBusy::~ConnStateBusy() {
  replyTimer_->data = nullptr;
  uv_close(reinterpret_cast<uv_handle_t*>(replyTimer_),
           [](uv_handle_t* handle) { delete reinterpret_cast<uv_timer_t*>(handle); });
  if (inFlight_) inFlight_->sink->onFailure();
  for (auto& request : queue_) request->sink->onFailure();
  handler_.reset();
  channel_.reset();
}

void ConnStateBusy::enter() {
  uv2wm_t* stream = channel_->stream;
  stream->user = static_cast<ConnHandlerState*>(this);
  stream->callback = &ConnHandlerState::onStream;
  next();
}

void ConnStateBusy::handleRequest(std::shared_ptr<ConnRequest> request) { queue_.push_back(std::move(request)); }

void ConnStateBusy::next() {
  if (queue_.empty()) {
    inFlight_.reset();
    thread_.enterReady(std::move(channel_));
    return;
  }
  inFlight_ = std::move(queue_.front());
  queue_.pop_front();
  armReplyTimer();
  handler_ = std::make_shared<ConnSender>(*this, inFlight_->payload);
}

void ConnStateBusy::armReplyTimer() {
  uv_timer_start(replyTimer_, &ConnStateBusy::onReplyTimeout, thread_.replyTimeoutMs(), 0);
}

// Only reply bytes arrive while busy: each one shows the backend is still answering.
void ConnStateBusy::onBytes() { armReplyTimer(); }

// A backend that stops answering is treated like a broken stream.
void ConnStateBusy::onReplyTimeout(uv_timer_t* timer) {
  auto* state = static_cast<ConnStateBusy*>(timer->data);
  if (state) state->thread_.enterWait();
}

void ConnStateBusy::replyComplete(std::string text) {
  std::shared_ptr<ConnRequest> done = std::move(inFlight_);
  done->sink->onReply(std::move(text));
  next();
}

void ConnStateBusy::replyBroken() { thread_.enterWait(); }
