#include "service/ConnThread.h"

#include <thread>

#include "core/Endpoints.h"
#include "core/EventLoop.h"
#include "service/ConnStates.h"

struct ConnThread::Worker {
  StartLatch latch;
  std::thread thread;
};

ConnThread::ConnThread(std::shared_ptr<RandomGenerator> random, StateCallback onState)
    : ConnThread(std::move(random), std::move(onState), backendHost(), channelPort()) {}

ConnThread::ConnThread(std::shared_ptr<RandomGenerator> random, StateCallback onState, std::string host, int port,
                       unsigned reconnectPauseMs, unsigned replyTimeoutMs, NameResolver resolver)
    : random_(std::move(random)),
      onState_(std::move(onState)),
      host_(std::move(host)),
      port_(port),
      reconnectPauseMs_(reconnectPauseMs),
      replyTimeoutMs_(replyTimeoutMs),
      resolver_(std::move(resolver)),
      worker_(new Worker) {
  worker_->latch.init();
  worker_->thread = std::thread(&ConnThread::threadBody, this);
  worker_->latch.wait();
}

ConnThread::~ConnThread() {
  loop_->post([this] { stop(); });
  worker_->thread.join();
  worker_->latch.destroy();
}

void ConnThread::threadBody() {
  loop_ = new EventLoop;
  loop_->acquire();
  loop_->post([this] { enterResolve(); });
  worker_->latch.set();
  loop_->runToEnd();
}

void ConnThread::send(std::string payload, std::shared_ptr<ConnReplySink> sink) {
  auto request = std::make_shared<ConnRequest>(ConnRequest{std::move(sink), std::move(payload)});
  loop_->post([this, request] { dispatchRequest(request); });
}

void ConnThread::dispatchRequest(const std::shared_ptr<ConnRequest>& request) {
  if (request->payload.size() > maxPayload) {
    request->sink->onReply(std::string());
    return;
  }
  std::shared_ptr<ConnState> state = current_;
  if (state)
    state->handleRequest(request);
  else
    request->sink->onFailure();
}

void ConnThread::stop() {
  // The state's destructor closes its handles and fails what it holds.
  std::shared_ptr<ConnState> last = std::move(current_);
  last.reset();
  loop_->release();
}

void ConnThread::transition(std::shared_ptr<ConnState> next) {
  current_ = next;  // the previous state is destroyed here, before the new one starts
  next->enter();
  if (onState_) onState_(next->id());
}

void ConnThread::enterWait() { transition(std::make_shared<ConnStateWait>(*this)); }

void ConnThread::enterResolve() { transition(std::make_shared<ConnStateResolve>(*this)); }

void ConnThread::enterConnect(uint32_t address) { transition(std::make_shared<ConnStateConnect>(*this, address)); }

void ConnThread::enterHandshake(uv_tcp_s* tcp) { transition(std::make_shared<ConnStateHandshake>(*this, tcp)); }

void ConnThread::enterReady(std::unique_ptr<ConnChannel> channel) {
  transition(std::make_shared<ConnStateReady>(*this, std::move(channel)));
}

void ConnThread::enterBusy(std::unique_ptr<ConnChannel> channel, std::shared_ptr<ConnRequest> first) {
  transition(std::make_shared<ConnStateBusy>(*this, std::move(channel), std::move(first)));
}
