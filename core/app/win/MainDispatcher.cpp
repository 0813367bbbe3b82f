#include "core/app/win/MainDispatcher.h"

#include <sstream>

#include "core/DebugLog.h"
#include "core/FatalError.h"
#include "core/RandomGenerator.h"
#include "core/SavedConfig.h"
#include "core/win/MessageWait.h"
#include "core/win/SavedConfigFile.h"
#include "service/ConnThread.h"

ConnStateSubscription::ConnStateSubscription(std::shared_ptr<MainDispatcher> dispatcher, Node node)
    : dispatcher_(std::move(dispatcher)), node_(node) {}

ConnStateSubscription::ConnStateSubscription(ConnStateSubscription&& other) noexcept
    : dispatcher_(std::move(other.dispatcher_)), node_(other.node_) {}

ConnStateSubscription& ConnStateSubscription::operator=(ConnStateSubscription&& other) noexcept {
  if (this != &other) {
    reset();
    dispatcher_ = std::move(other.dispatcher_);
    node_ = other.node_;
  }
  return *this;
}

ConnStateSubscription::~ConnStateSubscription() { reset(); }

void ConnStateSubscription::reset() {
  if (!dispatcher_) return;
  // The handle is empty before the dispatcher may go with the last holder.
  std::shared_ptr<MainDispatcher> dispatcher = std::move(dispatcher_);
  dispatcher->endSubscription(node_);
}

MainDispatcher::MainDispatcher(GuiStarter startGui, std::shared_ptr<RandomGenerator> random,
                               ConnThreadMaker makeConnThread, std::unique_ptr<SavedConfigStore> settingsStore)
    : startGui_(std::move(startGui)), random_(std::move(random)), makeConnThread_(std::move(makeConnThread)) {
  if (!settingsStore) settingsStore = SavedConfigFile::forCurrentUser();
  savedConfig_ = std::make_unique<SavedConfig>(std::move(settingsStore));
  savedConfig_->load();
  wakeEvent_ = WinHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr), 141);
  if (!wakeEvent_) fatalError(140);
}

MainDispatcher::~MainDispatcher() {
  discardLeftovers();
  wakeEvent_.reset();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!tasks_.empty()) fatalError(142);
  }
  if (!listeners_.empty()) fatalError(149);
  connThread_.reset();
  savedConfig_.reset();
  random_.reset();
  startGui_ = nullptr;
}

void MainDispatcher::post(std::function<void()> task) {
  std::lock_guard<std::mutex> lock(mutex_);
  tasks_.push_back(std::move(task));
  if (!SetEvent(wakeEvent_.get())) fatalError(144);
}

void MainDispatcher::run() {
  while (busyCount_ != 0 || connThread_) {
    if (waitForEventOrMessages(wakeEvent_.get()) == WAIT_FAILED) fatalError(145);

    std::vector<std::function<void()>> batch;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      batch.swap(tasks_);
      if (!ResetEvent(wakeEvent_.get())) fatalError(146);
    }
    for (auto& task : batch) task();
    unlinkEndedSubscriptions();
  }
  discardLeftovers();
}

void MainDispatcher::acquire() { ++busyCount_; }

void MainDispatcher::release() {
  if (busyCount_ == 0) fatalError(147);
  if (--busyCount_ == 0) {
    // Moved out first: while the channel stops, nothing can reach it here.
    std::unique_ptr<ConnThread> channel = std::move(connThread_);
    channel.reset();
  }
}

void MainDispatcher::startGui() {
  startChannel();
  if (startGui_) startGui_(shared_from_this());
}

void MainDispatcher::startChannel() {
  std::weak_ptr<MainDispatcher> weakSelf = weak_from_this();
  auto onState = [weakSelf](int state) {
    if (std::shared_ptr<MainDispatcher> self = weakSelf.lock()) {
      self->post([self, state] { self->setConnState(state); });
    }
  };
  connThread_.reset();
  connThread_ = makeConnThread_ ? makeConnThread_(random_, onState) : std::make_unique<ConnThread>(random_, onState);
}

void MainDispatcher::setConnState(int state) {
  connState_ = state;
  std::ostringstream line;
  line << "New ConnState: " << state << "\n";
  writeDebugLog(line.str());
  // Nodes are only unlinked between passes, so the walk survives listeners
  // that subscribe or end subscriptions; a copy keeps the running one alive.
  for (auto node = listeners_.begin(); node != listeners_.end(); ++node) {
    Listener listener = *node;
    if (listener) (*listener)(state);
  }
}

ConnStateSubscription MainDispatcher::subscribeConnState(std::function<void(int)> listener) {
  listeners_.push_front(std::make_shared<std::function<void(int)>>(std::move(listener)));
  return ConnStateSubscription(shared_from_this(), listeners_.begin());
}

void MainDispatcher::endSubscription(Node node) {
  endedSubscriptions_.emplace_back(node, std::move(*node));
  *node = nullptr;
}

void MainDispatcher::unlinkEndedSubscriptions() {
  std::vector<std::pair<Node, Listener>> ended;
  ended.swap(endedSubscriptions_);
  for (auto& entry : ended) listeners_.erase(entry.first);
  // Destroying the listeners may end further subscriptions: they wait for the
  // next pass.
}

void MainDispatcher::discardLeftovers() {
  size_t tasks = 0;
  size_t subscriptions = 0;
  for (;;) {
    std::vector<std::function<void()>> left;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      left.swap(tasks_);
    }
    if (left.empty() && endedSubscriptions_.empty()) break;
    tasks += left.size();
    left.clear();
    subscriptions += endedSubscriptions_.size();
    unlinkEndedSubscriptions();
  }
  if (tasks || subscriptions) {
    std::ostringstream line;
    line << "Dispatcher: discarded " << tasks << " tasks and " << subscriptions << " ended subscriptions at exit\n";
    writeDebugLog(line.str());
  }
}

SavedConfig& MainDispatcher::savedConfig() { return *savedConfig_; }
