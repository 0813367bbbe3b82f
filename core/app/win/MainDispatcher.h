#pragma once

#include <windows.h>

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/Json.h"
#include "core/SavedConfig.h"
#include "core/win/WinHandle.h"
#include "service/ConnStateIds.h"

class ConnThread;
class RandomGenerator;
class MainDispatcher;
struct ApiResult;

// One connection-state listener. Ending it (destruction, assignment, reset)
// silences the listener at once and unlinks it after the current loop pass, so
// it may end inside a notification, its own included.
class ConnStateSubscription {
 public:
  ConnStateSubscription() = default;
  ConnStateSubscription(ConnStateSubscription&& other) noexcept;
  ConnStateSubscription& operator=(ConnStateSubscription&& other) noexcept;
  ConnStateSubscription(const ConnStateSubscription&) = delete;
  ConnStateSubscription& operator=(const ConnStateSubscription&) = delete;
  ~ConnStateSubscription();

  void reset();
  explicit operator bool() const { return dispatcher_ != nullptr; }

 private:
  friend class MainDispatcher;
  using Listener = std::shared_ptr<std::function<void(int)>>;
  using Node = std::list<Listener>::iterator;
  ConnStateSubscription(std::shared_ptr<MainDispatcher> dispatcher, Node node);

  std::shared_ptr<MainDispatcher> dispatcher_;
  Node node_{};
};

// The main thread's task queue and message loop, the busy count that decides
// when the program ends, the owner of the backend channel and of the
// connection-state listeners. Everything but post is main-thread only.
class MainDispatcher : public std::enable_shared_from_this<MainDispatcher> {
 public:
  // Makes the backend channel in startGui; tests give their own (or none).
  using ConnThreadMaker = std::function<std::unique_ptr<ConnThread>(
      std::shared_ptr<RandomGenerator> random, std::function<void(int)> onState)>;

  // What startGui shows once the channel is made: start-up hands in the login
  // window's starter, so the dispatcher knows no controller. Whatever it holds
  // (the GUI entry) is released last, when the dispatcher goes.
  using GuiStarter = std::function<void(const std::shared_ptr<MainDispatcher>& dispatcher)>;

  // Loads the settings (by default the current user's file). Make it with
  // std::make_shared. An empty starter (tests) makes startGui start the
  // channel only.
  MainDispatcher(GuiStarter startGui, std::shared_ptr<RandomGenerator> random,
                 ConnThreadMaker makeConnThread = nullptr,
                 std::unique_ptr<SavedConfigStore> settingsStore = nullptr);
  MainDispatcher(const MainDispatcher&) = delete;
  MainDispatcher& operator=(const MainDispatcher&) = delete;
  ~MainDispatcher();

  // Any thread. Tasks run on the main thread in the order of posting.
  void post(std::function<void()> task);

  // Runs passes until the busy count is 0 and the channel is gone; tasks and
  // ended subscriptions left then are discarded (and logged).
  void run();

  void acquire();
  // The last release deletes the channel, so run returns after this pass.
  void release();
  int busyCount() const { return busyCount_; }

  // Creates the channel, then runs the starter.
  void startGui();
  // startGui's first step: the backend channel (a channel held before goes).
  void startChannel();

  void setConnState(int state);
  int connState() const { return connState_; }
  // Newest subscriber first; the listener is not called on subscription.
  ConnStateSubscription subscribeConnState(std::function<void(int)> listener);

  // One backend request; handler runs on the main thread with its ApiResult.
  // Defined by the API layer (service/win).
  void callApi(std::string op, rapidjson::Document params,
               std::function<void(ApiResult)> handler);

  // Null before startGui and after the last release.
  ConnThread* connThread() const { return connThread_.get(); }
  const std::shared_ptr<RandomGenerator>& randomSource() const { return random_; }
  SavedConfig& savedConfig();

 private:
  friend class ConnStateSubscription;
  using Listener = ConnStateSubscription::Listener;
  using Node = ConnStateSubscription::Node;

  void endSubscription(Node node);
  void unlinkEndedSubscriptions();
  void discardLeftovers();

  GuiStarter startGui_;
  std::shared_ptr<RandomGenerator> random_;
  std::unique_ptr<SavedConfig> savedConfig_;
  ConnThreadMaker makeConnThread_;
  std::mutex mutex_;
  std::vector<std::function<void()>> tasks_;
  WinHandle wakeEvent_;
  int busyCount_ = 0;
  std::unique_ptr<ConnThread> connThread_;
  int connState_ = connState::resolve;
  std::list<Listener> listeners_;
  // An ended listener waits here, alive, until its node is unlinked: it may
  // still be running when its subscription ends.
  std::vector<std::pair<Node, Listener>> endedSubscriptions_;
};
