#include "bridge/win/FormMainController.h"

#include <oleauto.h>

#include <utility>

#include "bridge/ConnectListener.h"
#include "bridge/PingerProbes.h"
#include "bridge/RepairListener.h"
#include "bridge/win/ConnectOperation.h"
#include "bridge/win/ListObjects.h"
#include "bridge/win/NetworkRepairOperation.h"
#include "core/DebugLog.h"
#include "core/FatalError.h"
#include "core/SavedConfig.h"
#include "core/StatusCodes.h"
#include "core/Text.h"
#include "core/win/System.h"
#include "service/ApiResult.h"
#include "service/ConnStateIds.h"

using Microsoft::WRL::ComPtr;

namespace {

// Marks the controller as inside a call of its own for as long as it lives.
class InsideCall {
 public:
  explicit InsideCall(int& depth) : depth_(depth) { ++depth_; }
  ~InsideCall() { --depth_; }
  InsideCall(const InsideCall&) = delete;
  InsideCall& operator=(const InsideCall&) = delete;

 private:
  int& depth_;
};

}  // namespace

// One request's callback state: an answer that the API layer delivers a
// second time (as unusable, because reading it threw) lowers the count once.
struct FormMainController::Answer {
  ComPtr<FormMainController> controller;
  uint32_t counter;
  int errorCode;
  int errorFatal;
  AnswerReader reader;
  bool counted = false;
};

// Probe reports of one server, posted to the main thread with the batch they
// belong to.
class ServerPingSink : public ServerProbeSink {
 public:
  ServerPingSink(FormMainController* controller, size_t index, uint32_t counter)
      : controller_(controller), index_(index), counter_(counter) {}
  void resolved(uint32_t address) override { postDns(address); }
  void unresolved() override { postDns(0); }
  void replied(uint32_t latencyMs) override { postResult(static_cast<int>(latencyMs)); }
  void failed() override { postResult(-1); }

 private:
  void postDns(uint32_t address) {
    ComPtr<FormMainController> controller = controller_;
    size_t index = index_;
    uint32_t counter = counter_;
    controller->dispatcher_->post(
        [controller, index, counter, address] { controller->onProbeDns(index, counter, address); });
  }
  void postResult(int latencyMs) {
    ComPtr<FormMainController> controller = controller_;
    size_t index = index_;
    uint32_t counter = counter_;
    controller->dispatcher_->post(
        [controller, index, counter, latencyMs] { controller->onProbeResult(index, counter, latencyMs); });
  }

  ComPtr<FormMainController> controller_;
  size_t index_;
  uint32_t counter_;
};

// What the controller's operations report to: each holds one, and with it
// the controller.
class OperationReports : public ConnectListener, public RepairListener {
 public:
  explicit OperationReports(FormMainController* controller) : controller_(controller) {}
  std::shared_ptr<OVPNListener> onConnected(std::shared_ptr<EstablishedTunnel> tunnel, RateMeter in,
                                            RateMeter out) override {
    return controller_->onConnected(std::move(tunnel), std::move(in), std::move(out));
  }
  void onConnectionClosed() override { controller_->onConnectionClosed(); }
  void onRepairDone() override { controller_->onRepairDone(); }

 private:
  ComPtr<FormMainController> controller_;
};

FormMainController::FormMainController(std::shared_ptr<MainDispatcher> dispatcher, ControllerSeams seams,
                                       LoginControllerStarter startLogin)
    : dispatcher_(std::move(dispatcher)),
      seams_(std::move(seams)),
      startLogin_(std::move(startLogin)),
      games_(std::make_shared<std::vector<GameEntry>>()),
      servers_(std::make_shared<std::vector<ServerEntry>>()) {
  dispatcher_->acquire();
}

FormMainController::~FormMainController() {
  probes_.reset();
  subscription_.reset();
  view_.Reset();
}

void FormMainController::postToOwnerThread(std::function<void()> task) { dispatcher_->post(std::move(task)); }

bool FormMainController::isBusy() const {
  return pending_ != 0 || connecting_ || repairRunning_ || loggingOut_ || connection_;
}

bool FormMainController::callView(int fatalCode, const std::function<HRESULT(IMainView*)>& call) {
  if (!live()) return false;
  ComPtr<IMainView> view = view_;
  if (FAILED(call(view.Get()))) fatalError(fatalCode);
  return live();
}

// A disabled control's command is refused: connect (enableIdleControls),
// disconnect (setConnected), repair (enableRepair) and the sub-account choice
// (enableConnectChoice). Disconnect, repair and the choice are enabled
// exactly when accepted; connect, enabled whenever idle, is still refused
// without the sub-account's details, a game or a listed server.
bool FormMainController::pushUiState() {
  bool idle = !isBusy();
  bool connected = connection_ != nullptr;
  bool repairable = idle;
  bool choosable = choiceAccepted();
  return callView(6, [idle](IMainView* v) { return v->enableIdleControls(idle); }) &&
         callView(11, [connected](IMainView* v) { return v->setConnected(connected); }) &&
         callView(12, [repairable](IMainView* v) { return v->enableRepair(repairable); }) &&
         callView(13, [choosable](IMainView* v) { return v->enableConnectChoice(choosable); }) &&
         callView(14, [idle](IMainView* v) { return v->enableIdleControls2(idle); });
}

void FormMainController::attach(IMainView* view) {
  ComPtr<FormMainController> self(this);
  InsideCall inside(insideCall_);
  view_ = view;
  subscription_ = dispatcher_->subscribeConnState([self](int state) { self->onConnState(state); });
  // A channel lost during the login is noticed after the tasks queued now.
  dispatcher_->post([self] { self->onConnState(self->dispatcher_->connState()); });
  if (!pushUiState()) return;
  loadModePref();
}

void FormMainController::onConnState(int state) {
  if (!connState::connected(state)) backendDropped_ = true;
  if (!live() || connecting_ || repairRunning_ || loggingOut_ || connection_ || !backendDropped_) return;
  ComPtr<FormMainController> self(this);
  InsideCall inside(insideCall_);
  if (!callView(37, [](IMainView* v) { return v->backendLost(); })) return;
  handOverToLogin(38);
}

void FormMainController::handOverToLogin(int fatalCode) {
  ComPtr<IMainView> view = view_;
  handedOver_ = true;
  subscription_.reset();
  ++requestCounter_;
  probes_.reset();
  startLogin_([&view, fatalCode](ILoginController* login) {
    ComPtr<ILoginView> loginView;
    HRESULT shown = view->backToLogin(login, loginView.GetAddressOf());
    if (FAILED(shown) || !loginView) fatalError(fatalCode);
    return loginView;
  });
}

// ---- requests and answers ----

void FormMainController::loadModePref() {
  bool udp = getBoolOrTrue(dispatcher_->savedConfig().document(), "modePref");
  if (!callView(46, [udp](IMainView* v) { return v->showModePref(udp ? TRUE : FALSE); })) return;
  ++requestCounter_;
  pending_ = 0;
  if (!pushUiState()) return;
  requestAccounts();
  if (!live()) return;
  requestGameList();
}

void FormMainController::requestAccounts() {
  ++pending_;
  if (!pushUiState()) return;
  accountNames_.clear();
  send("accounts", rapidjson::Document(rapidjson::kObjectType), status::accountsRequestFailed, 47,
       &FormMainController::onAccounts);
}

void FormMainController::requestGameList() {
  ++pending_;
  if (!pushUiState()) return;
  games_ = std::make_shared<std::vector<GameEntry>>();
  send("gameList", rapidjson::Document(rapidjson::kObjectType), status::gameListRequestFailed, 49,
       &FormMainController::onGameList);
}

void FormMainController::selectAccount(size_t index) {
  ++pending_;
  if (!pushUiState()) return;
  accountInfo_.reset();
  servers_ = std::make_shared<std::vector<ServerEntry>>();
  rapidjson::Document params(rapidjson::kObjectType);
  const std::string& name = accountNames_[index];
  params.AddMember("subAccount",
                   rapidjson::Value(name.data(), static_cast<rapidjson::SizeType>(name.size()), params.GetAllocator()),
                   params.GetAllocator());
  send("subAccount", std::move(params), status::subAccountRequestFailed, 76, &FormMainController::onSubAccount);
}

void FormMainController::send(const char* op, rapidjson::Document params, int errorCode, int errorFatal,
                              AnswerReader reader) {
  auto answer = std::make_shared<Answer>(Answer{this, requestCounter_, errorCode, errorFatal, reader});
  dispatcher_->callApi(op, std::move(params), [answer](ApiResult result) {
    ComPtr<FormMainController> controller = answer->controller;
    controller->onAnswer(*answer, std::move(result));
  });
}

void FormMainController::onAnswer(Answer& answer, ApiResult result) {
  if (!live() || answer.counter != requestCounter_) return;
  InsideCall inside(insideCall_);
  if (!answer.counted) {
    answer.counted = true;
    --pending_;
    if (!pushUiState()) return;
  }
  if (result.kind == ApiResult::noReply) return;
  if (result.kind != ApiResult::success) {
    int code = answer.errorCode;
    callView(answer.errorFatal, [code](IMainView* v) { return v->showError(code); });
    return;
  }
  // A reader that throws makes the answer unusable: the API layer delivers
  // it again as such, and that delivery shows the error.
  (this->*answer.reader)(result.doc);
}

void FormMainController::onAccounts(const rapidjson::Document& answer) {
  std::string preferred = getStringOr(dispatcher_->savedConfig().document(), "accountPref", "");
  std::vector<std::string> names = readAccountNames(answer);
  size_t index = preferredAccountIndex(names, preferred);
  accountNames_ = std::move(names);

  SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(accountNames_.size()));
  BSTR* slots = nullptr;
  if (!array || FAILED(SafeArrayAccessData(array, reinterpret_cast<void**>(&slots)))) fatalError(16);
  // Written in place: SafeArrayPutElement would turn an empty name's null
  // BSTR into an allocated empty one.
  for (size_t i = 0; i < accountNames_.size(); ++i) slots[i] = makeBstr(fromUtf8(accountNames_[i]));
  if (FAILED(SafeArrayUnaccessData(array))) fatalError(16);
  int preferredIndex = static_cast<int>(index);
  bool stillShown =
      callView(48, [array, preferredIndex](IMainView* v) { return v->showAccounts(array, preferredIndex); });
  SafeArrayDestroy(array);
  if (!stillShown) return;
  selectAccount(index);
}

void FormMainController::onSubAccount(const rapidjson::Document& answer) {
  auto info = std::make_shared<const AccountInfo>(readAccountInfo(answer));
  accountInfo_ = info;
  ComPtr<IAccountInfo> infoObject(new AccountInfoObject(info));
  if (!callView(52, [&infoObject](IMainView* v) { return v->showAccountInfo(infoObject.Get()); })) return;
  infoObject.Reset();

  servers_ = std::make_shared<std::vector<ServerEntry>>(readServers(answer));
  ComPtr<IServerList> list(
      new ServerListObject(servers_, getStringOr(dispatcher_->savedConfig().document(), "serverPref", "")));
  pingServers();
  if (!live()) return;
  callView(51, [&list](IMainView* v) { return v->showServers(list.Get()); });
}

void FormMainController::onGameList(const rapidjson::Document& answer) {
  games_ = std::make_shared<std::vector<GameEntry>>(readGames(answer));
  ComPtr<IGameList> list(
      new GameListObject(games_, getStringOr(dispatcher_->savedConfig().document(), "gamePref", "")));
  callView(50, [&list](IMainView* v) { return v->showGames(list.Get()); });
}

// ---- probes ----

void FormMainController::pingServers() {
  probes_.reset();
  probes_ = seams_.makeProbes
                ? seams_.makeProbes()
                : std::make_unique<PingerProbes>(std::make_unique<Pinger>(dispatcher_->randomSource()));
  for (size_t i = 0; i < servers_->size(); ++i) {
    pending_ += 2;
    probes_->ping((*servers_)[i].addr, std::make_shared<ServerPingSink>(this, i, requestCounter_));
  }
  pushUiState();
}

void FormMainController::onProbeDns(size_t index, uint32_t counter, uint32_t address) {
  if (!live() || counter != requestCounter_ || index >= servers_->size()) return;
  ComPtr<FormMainController> self(this);
  InsideCall inside(insideCall_);
  --pending_;
  (*servers_)[index].resolvedIp = address;
  pushUiState();
}

void FormMainController::onProbeResult(size_t index, uint32_t counter, int latencyMs) {
  if (!live() || counter != requestCounter_ || index >= servers_->size()) return;
  ComPtr<FormMainController> self(this);
  InsideCall inside(insideCall_);
  --pending_;
  (*servers_)[index].latencyMs = latencyMs;
  if (!pushUiState()) return;
  UINT server = static_cast<UINT>(index);
  callView(98, [server, latencyMs](IMainView* v) { return v->showServerLatency(server, latencyMs); });
}

// ---- commands ----

bool FormMainController::choiceAccepted() const {
  // Not while a repair runs: the new sub-account's probes and request would
  // measure a network whose addresses are being released and renewed.
  return !(connecting_ || connection_ || pending_ != 0 || repairRunning_);
}

HRESULT FormMainController::chooseAccount(UINT index) {
  if (refusesCommand() || index >= accountNames_.size() || !choiceAccepted()) return S_OK;
  ComPtr<FormMainController> self(this);
  InsideCall inside(insideCall_);
  ++requestCounter_;
  pending_ = 0;
  if (!pushUiState()) return S_OK;
  selectAccount(index);
  return S_OK;
}

HRESULT FormMainController::connect(BOOL udp, int gameId, BSTR gameName, UINT serverIndex) {
  if (refusesCommand() || pending_ != 0 || connecting_ || repairRunning_ || loggingOut_ || connection_ ||
      !accountInfo_ || !gameName || serverIndex >= servers_->size())
    return S_OK;
  ComPtr<FormMainController> self(this);
  InsideCall inside(insideCall_);
  const ServerEntry server = (*servers_)[serverIndex];
  if (server.resolvedIp == 0) {
    callView(15, [](IMainView* v) { return v->showError(status::serverNotResolved); });
    return S_OK;
  }
  connecting_ = true;
  if (!pushUiState()) return S_OK;
  tunnelUser_ = accountInfo_->userName;
  tunnelPassword_ = accountInfo_->password;
  ConnectChoice choice;
  choice.udp = udp != FALSE;
  choice.port = choice.udp ? server.udp : server.tcp;
  choice.gameId = gameId;
  choice.serverIp = server.resolvedIp;
  choice.latencyMs = server.latencyMs;
  choice.gameName = toUtf8(fromBstr(gameName));
  choice.serverName = server.name;
  choice.user = tunnelUser_;
  choice.password = tunnelPassword_;
  choice.serverAddr = server.addr;
  MainOperation operation;
  // Nothing may leave a method the GUI calls; the attempt cannot start when
  // its tunnel machine cannot be made (no thread for its worker).
  try {
    auto reports = std::make_shared<OperationReports>(this);
    operation = seams_.makeConnect ? seams_.makeConnect(reports, choice)
                                   : makeConnectOperation(dispatcher_, reports, choice, seams_.connect);
  } catch (const std::exception& e) {
    connectNotStarted(e.what());
    return S_OK;
  } catch (...) {
    connectNotStarted("not a standard exception");
    return S_OK;
  }
  startOperation(std::move(operation), 53);
  return S_OK;
}

void FormMainController::connectNotStarted(const std::string& why) {
  writeDebugLog("Connect could not start: " + why + "\n");
  connecting_ = false;
  if (!pushUiState()) return;
  if (!callView(159, [](IMainView* v) { return v->showError(status::tunnelStateAborted); })) return;
  onConnState(dispatcher_->connState());
}

bool FormMainController::startOperation(MainOperation operation, int fatalCode) {
  ComPtr<IMainView> view = view_;
  ComPtr<IOperationProgress> progress;
  HRESULT shown = view->beginOperation(operation.operation.Get(), progress.GetAddressOf());
  if (FAILED(shown) || !progress) fatalError(fatalCode);
  // Started even when the view went away meanwhile: the operation reports
  // to its progress interface and finds no view when it reports back here.
  operation.start(progress.Get());
  return live();
}

void FormMainController::onConnectionClosed() {
  if (!live()) return;
  ComPtr<FormMainController> self(this);
  InsideCall inside(insideCall_);
  if (!callView(61, [](IMainView* v) { return v->connectEnded(); })) return;
  connecting_ = false;
  if (!pushUiState()) return;
  onConnState(dispatcher_->connState());
}

std::shared_ptr<OVPNSessionListener> FormMainController::onConnected(std::shared_ptr<EstablishedTunnel> tunnel,
                                                                     RateMeter in, RateMeter out) {
  ComPtr<FormMainController> self(this);
  if (!live()) {
    tunnel->stop();
    ++connectionGeneration_;
    // Made for a generation that never comes: it ignores every event.
    return std::make_shared<OVPNSessionListener>(this, connectionGeneration_ + 1);
  }
  InsideCall inside(insideCall_);
  connecting_ = false;
  connection_ = std::move(tunnel);
  inMeter_ = std::move(in);
  outMeter_ = std::move(out);
  ++connectionGeneration_;
  auto listener = std::make_shared<OVPNSessionListener>(this, connectionGeneration_);
  if (!pushUiState()) return listener;
  callView(7, [](IMainView* v) { return v->connected(); });
  return listener;
}

bool FormMainController::tunnelEventApplies(uint32_t generation) const {
  return live() && connection_ && generation == connectionGeneration_;
}

void FormMainController::stopTunnel(uint32_t generation) {
  if (tunnelEventApplies(generation)) connection_->stop();
}

void FormMainController::resendCredentials(uint32_t generation) {
  if (tunnelEventApplies(generation)) connection_->sendAuth(tunnelUser_, tunnelPassword_);
}

void FormMainController::onByteCount(uint32_t generation, uint64_t in, uint64_t out) {
  if (!tunnelEventApplies(generation)) return;
  inMeter_.add(in);
  outMeter_.add(out);
}

void FormMainController::onTunnelStatus(uint32_t generation) {
  if (!tunnelEventApplies(generation)) return;
  ComPtr<FormMainController> self(this);
  InsideCall inside(insideCall_);
  if (!callView(80, [](IMainView* v) { return v->showError(status::tunnelFailed); })) return;
  dropConnection();
}

HRESULT FormMainController::disconnect() {
  if (refusesCommand() || !connection_) return S_OK;
  ComPtr<FormMainController> self(this);
  InsideCall inside(insideCall_);
  connection_->stop();
  dropConnection();
  return S_OK;
}

void FormMainController::dropConnection() {
  connection_.reset();
  if (!pushUiState()) return;
  if (!callView(8, [](IMainView* v) { return v->disconnected(); })) return;
  loadModePref();
  if (!live()) return;
  onConnState(dispatcher_->connState());
}

HRESULT FormMainController::repair(UINT group) {
  if (refusesCommand() || group >= repairGroups || isBusy()) return S_OK;
  ComPtr<FormMainController> self(this);
  InsideCall inside(insideCall_);
  repairRunning_ = true;
  if (!pushUiState()) return S_OK;
  auto reports = std::make_shared<OperationReports>(this);
  startOperation(seams_.makeRepair ? seams_.makeRepair(reports, group) : makeNetworkRepair(dispatcher_, reports, group),
                 63);
  return S_OK;
}

void FormMainController::onRepairDone() {
  if (!live()) return;
  ComPtr<FormMainController> self(this);
  InsideCall inside(insideCall_);
  repairRunning_ = false;
  if (!pushUiState()) return;
  onConnState(dispatcher_->connState());
}

HRESULT FormMainController::logout() {
  if (refusesCommand() || connection_ || connecting_ || repairRunning_ || loggingOut_) return S_OK;
  ComPtr<FormMainController> self(this);
  InsideCall inside(insideCall_);
  loggingOut_ = true;
  if (!pushUiState()) return S_OK;
  dispatcher_->callApi("logout", rapidjson::Document(rapidjson::kObjectType),
                       [self](ApiResult result) { self->onLogoutResult(result); });
  return S_OK;
}

void FormMainController::onLogoutResult(const ApiResult& result) {
  if (!live()) return;
  InsideCall inside(insideCall_);
  if (result.kind == ApiResult::success || result.kind == ApiResult::noReply) {
    handOverToLogin(42);
    return;
  }
  if (!callView(45, [](IMainView* v) { return v->showError(status::logoutRequestFailed); })) return;
  loggingOut_ = false;
  if (!pushUiState()) return;
  onConnState(dispatcher_->connState());
}

HRESULT FormMainController::detach() {
  if (detached_) return S_OK;
  detached_ = true;
  ComPtr<FormMainController> self(this);
  if (connection_) {
    connection_->stop();
    connection_.reset();
  }
  probes_.reset();
  subscription_.reset();
  view_.Reset();
  dispatcher_->release();
  return S_OK;
}

HRESULT FormMainController::getRates(UINT64* inTotal, UINT64* inRate, UINT64* outTotal, UINT64* outRate) {
  if (!inTotal || !inRate || !outTotal || !outRate) return E_POINTER;
  *inTotal = *inRate = *outTotal = *outRate = 0;
  if (!connection_) return S_OK;
  *inTotal = inMeter_.total();
  *inRate = inMeter_.rate();
  *outTotal = outMeter_.total();
  *outRate = outMeter_.rate();
  return S_OK;
}

// ---- tunnel events ----

OVPNSessionListener::OVPNSessionListener(FormMainController* controller, uint32_t generation)
    : controller_(controller), generation_(generation) {}

void OVPNSessionListener::missing() { controller_->stopTunnel(generation_); }
void OVPNSessionListener::needConfig() { controller_->stopTunnel(generation_); }
void OVPNSessionListener::installed() { controller_->stopTunnel(generation_); }
void OVPNSessionListener::needCredentials() { controller_->resendCredentials(generation_); }
void OVPNSessionListener::connected(uint32_t) {}
void OVPNSessionListener::bytecount(uint64_t bytesIn, uint64_t bytesOut) {
  controller_->onByteCount(generation_, bytesIn, bytesOut);
}
void OVPNSessionListener::status(int) { controller_->onTunnelStatus(generation_); }
