#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bridge/AccountAnswers.h"
#include "bridge/EstablishedTunnel.h"
#include "bridge/RateMeter.h"
#include "bridge/ServerProbes.h"
#include "bridge/win/ComRefCount.h"
#include "bridge/win/ControllerSeams.h"
#include "bridge/win/ControllerStarters.h"
#include "bridge/win/GuiInterfaces.h"
#include "core/app/win/MainDispatcher.h"
#include "tunnel/OVPNListener.h"

struct ApiResult;
class OVPNSessionListener;

// The native object behind the GUI's main window: the sub-accounts, the
// chosen one's servers with their probes, the games, the established tunnel
// and its meters; decides which controls the GUI enables, accepts or refuses
// the user's commands and returns to the login window when the channel was
// lost or the user logged out. Main thread only.
//
// Once it has handed the GUI back to a login window it ends its subscription,
// abandons its requests and probes and refuses every command and report but
// detach and getRates. A command that arrives while the controller is inside
// a call of its own into the GUI is refused too (detach excepted).
class FormMainController : public ComObject<FormMainController, IMainController> {
 public:
  // Raises the dispatcher's busy count; detach lowers it once. The object
  // starts with a count of 0. startLogin makes the login controller it hands
  // the GUI back to.
  FormMainController(std::shared_ptr<MainDispatcher> dispatcher, ControllerSeams seams,
                     LoginControllerStarter startLogin);

  void attach(IMainView* view);

  HRESULT STDMETHODCALLTYPE logout() override;
  HRESULT STDMETHODCALLTYPE detach() override;
  HRESULT STDMETHODCALLTYPE connect(BOOL udp, int gameId, BSTR gameName, UINT serverIndex) override;
  HRESULT STDMETHODCALLTYPE disconnect() override;
  HRESULT STDMETHODCALLTYPE repair(UINT group) override;
  HRESULT STDMETHODCALLTYPE chooseAccount(UINT index) override;
  HRESULT STDMETHODCALLTYPE getRates(UINT64* inTotal, UINT64* inRate, UINT64* outTotal, UINT64* outRate) override;

  void postToOwnerThread(std::function<void()> task);

  static constexpr UINT repairGroups = 2;

 private:
  friend class ComObject<FormMainController, IMainController>;
  friend class OperationReports;
  friend class OVPNSessionListener;
  friend class ServerPingSink;

  // The reports of its operations (through OperationReports), on the main
  // thread. The listener gets every later event of this tunnel.
  std::shared_ptr<OVPNSessionListener> onConnected(std::shared_ptr<EstablishedTunnel> tunnel, RateMeter in,
                                                   RateMeter out);
  void onConnectionClosed();
  void onRepairDone();
  ~FormMainController();

  struct Answer;
  using AnswerReader = void (FormMainController::*)(const rapidjson::Document& answer);

  bool live() const { return view_ && !handedOver_; }
  bool isBusy() const;
  bool choiceAccepted() const;
  bool refusesCommand() const { return !live() || insideCall_ > 0; }
  bool pushUiState();
  // One call into the view, fatal with code when it fails; false when the
  // controller has no view (or has handed over) before or after the call.
  bool callView(int fatalCode, const std::function<HRESULT(IMainView*)>& call);
  void onConnState(int state);
  void handOverToLogin(int fatalCode);

  void loadModePref();
  void requestAccounts();
  void requestGameList();
  void selectAccount(size_t index);
  void send(const char* op, rapidjson::Document params, int errorCode, int errorFatal, AnswerReader reader);
  void onAnswer(Answer& answer, ApiResult result);
  void onAccounts(const rapidjson::Document& answer);
  void onSubAccount(const rapidjson::Document& answer);
  void onGameList(const rapidjson::Document& answer);
  void pingServers();
  void onProbeDns(size_t index, uint32_t counter, uint32_t address);
  void onProbeResult(size_t index, uint32_t counter, int latencyMs);

  bool tunnelEventApplies(uint32_t generation) const;
  void stopTunnel(uint32_t generation);
  void resendCredentials(uint32_t generation);
  void onByteCount(uint32_t generation, uint64_t in, uint64_t out);
  void onTunnelStatus(uint32_t generation);
  void dropConnection();
  void onLogoutResult(const ApiResult& result);
  bool startOperation(MainOperation operation, int fatalCode);
  void connectNotStarted(const std::string& why);

  std::shared_ptr<MainDispatcher> dispatcher_;
  const ControllerSeams seams_;
  const LoginControllerStarter startLogin_;
  Microsoft::WRL::ComPtr<IMainView> view_;
  int pending_ = 0;
  bool connecting_ = false;
  bool repairRunning_ = false;
  bool loggingOut_ = false;
  std::shared_ptr<EstablishedTunnel> connection_;
  RateMeter inMeter_;
  RateMeter outMeter_;
  uint32_t connectionGeneration_ = 0;
  // Its listener holds this object, so it ends at detach or hand-over.
  ConnStateSubscription subscription_;
  bool backendDropped_ = false;
  uint32_t requestCounter_ = 0;
  std::shared_ptr<const AccountInfo> accountInfo_;
  std::vector<std::string> accountNames_;
  std::shared_ptr<std::vector<GameEntry>> games_;
  std::shared_ptr<std::vector<ServerEntry>> servers_;
  // Its sinks hold this object until the batch is replaced or dropped.
  std::unique_ptr<ServerProbes> probes_;
  std::string tunnelUser_;
  std::string tunnelPassword_;
  bool handedOver_ = false;
  bool detached_ = false;
  int insideCall_ = 0;
};

// Takes over the tunnel's events once it is established; the connect
// operation forwards each one to it on the main thread. Events of an older
// tunnel than the controller's current one do nothing.
class OVPNSessionListener : public OVPNListener {
 public:
  OVPNSessionListener(FormMainController* controller, uint32_t generation);

  void missing() override;
  void needConfig() override;
  void installed() override;
  void needCredentials() override;
  void connected(uint32_t vpnIp) override;
  void bytecount(uint64_t bytesIn, uint64_t bytesOut) override;
  void status(int code) override;

 private:
  Microsoft::WRL::ComPtr<FormMainController> controller_;
  uint32_t generation_;
};
