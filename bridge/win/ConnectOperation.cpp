#include "bridge/win/ConnectOperation.h"

#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

#include "bridge/ConnectListener.h"
#include "bridge/OVPNThreadMachine.h"
#include "bridge/RouteTableAnswer.h"
#include "bridge/win/GuiCall.h"
#include "bridge/win/InstallerSignature.h"
#include "core/DebugLog.h"
#include "core/Json.h"
#include "core/SavedConfig.h"
#include "core/Sha256.h"
#include "core/StatusCodes.h"
#include "core/app/win/MainDispatcher.h"
#include "core/win/System.h"
#include "netcfg/NetText.h"
#include "service/ApiResult.h"
#include "service/HttpListener.h"
#include "service/HttpThread.h"
#include "service/Url.h"
#include "tunnel/win/OVPNSystemWin.h"

using Microsoft::WRL::ComPtr;

namespace {

// The installer download's listener: on the request thread it only posts,
// naming its download, and reads nothing of the operation.
class DownloadListenerProxy : public HttpListener {
 public:
  explicit DownloadListenerProxy(ConnectOperation* operation) : operation_(operation) {}

  void onError() override { post([](ConnectOperation& o) { o.onDownloadFailed(); }); }
  void onComplete(std::string body) override {
    auto held = std::make_shared<std::string>(std::move(body));
    post([held](ConnectOperation& o) { o.onDownloaded(held); });
  }
  void onProgress(uint32_t done, uint32_t total) override {
    float fraction = total != 0 ? static_cast<float>(done) / static_cast<float>(total) : 1.0f;
    post([fraction](ConnectOperation& o) { o.onDownloadProgress(fraction); });
  }

 private:
  void post(std::function<void(ConnectOperation&)> step) {
    ComPtr<ConnectOperation> operation = operation_;
    operation->postToOwnerThread([operation, step] { step(*operation.Get()); });
  }

  ComPtr<ConnectOperation> operation_;
};

// The reply's string member key; false for a reply that is no success or
// has no such string.
bool replyString(const ApiResult& result, const char* key, std::string& value) {
  if (result.kind != ApiResult::success) return false;
  try {
    value = jsonGetString(result.doc, key);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::shared_ptr<TunnelMachine> makeTunnel(const ConnectSeams& seams, std::shared_ptr<OVPNListener> listener) {
  if (seams.makeTunnel) return seams.makeTunnel(std::move(listener));
  return makeOvpnTunnel(std::move(listener), std::make_shared<OVPNSystemWin>());
}

}  // namespace

ConnectOperation::ConnectOperation(std::shared_ptr<ConnectListener> listener, const ConnectChoice& choice,
                                   std::shared_ptr<MainDispatcher> dispatcher, ConnectSeams seams)
    : dispatcher_(std::move(dispatcher)), listener_(std::move(listener)), choice_(choice), seams_(std::move(seams)) {
  // Held while the machine is made: should making it throw, the proxy's
  // release must not be the last one and delete this object mid-construction.
  AddRef();
  listenerProxy_ = std::make_shared<OVPNListenerProxy>(this);
  try {
    tunnel_ = makeTunnel(seams_, listenerProxy_);
  } catch (...) {
    listenerProxy_.reset();
    throw;  // the failed new-expression frees the object; its count stays unused
  }
  Release();
  dispatcher_->acquire();
}

// Out of line: HttpThread is complete only here.
ConnectOperation::~ConnectOperation() = default;

void ConnectOperation::postToOwnerThread(std::function<void()> task) { dispatcher_->post(std::move(task)); }

void ConnectOperation::start(IOperationProgress* progress) {
  progress_ = progress;
  checkGuiCall(progress_->setDeterminate(FALSE), 54);
  checkGuiCall(progress_->showStatus(progress::connecting), 55);
  missingAsked_ = false;
  tunnel_->start();
}

HRESULT ConnectOperation::cancel() {
  dropDownload();
  ComPtr<ConnectOperation> self(this);
  dispatcher_->post([self] { self->onCancel(); });
  return S_OK;
}

void ConnectOperation::send(const char* op, rapidjson::Document params,
                            void (ConnectOperation::*handler)(const ApiResult& result)) {
  ComPtr<ConnectOperation> self(this);
  dispatcher_->callApi(op, std::move(params), [self, handler](ApiResult result) { (self.Get()->*handler)(result); });
}

// ---- installation ----

void ConnectOperation::askOvpnDownload() {
  if (!running()) return;
  if (missingAsked_) {
    finish(status::ovpnMissingAgain);
    return;
  }
  missingAsked_ = true;
  BOOL accepted = FALSE;
  checkGuiCall(progress_->ask(progress::askInstallOvpn, &accepted), 62);
  if (!accepted) {
    // The torn-down "miss" state reports 20015, which ends the attempt.
    tunnel_->stop();
    return;
  }
  checkGuiCall(progress_->showStatus(progress::ovpnAddressRequested), 67);
  rapidjson::Document params(rapidjson::kObjectType);
  params.AddMember("is64", isWow64(), params.GetAllocator());
  send("ovpnDownload", std::move(params), &ConnectOperation::onOvpnDownloadReply);
}

void ConnectOperation::onOvpnDownloadReply(const ApiResult& result) {
  if (!running()) return;
  std::string url;
  if (!replyString(result, "download", url)) {
    finish(status::ovpnDownloadRequestFailed);
    return;
  }
  startDownload(url);
}

void ConnectOperation::startDownload(const std::string& url) {
  checkGuiCall(progress_->showStatus(progress::ovpnInstallerDownloading), 68);
  checkGuiCall(progress_->setDeterminate(TRUE), 69);
  checkGuiCall(progress_->setProgress(0.0f), 70);
  writeDebugLog("OpenVPN installer: " + url + "\n");
  try {
    auto parts = std::make_shared<UrlParts>(parseUrl(url));
    downloadOverHttps_ = parts->https;
    download_ = std::make_unique<HttpThread>(dispatcher_->randomSource(),
                                             std::make_shared<DownloadListenerProxy>(this), parts);
  } catch (const std::exception&) {
    finish(status::ovpnInstallerDownloadFailed);
  }
}

void ConnectOperation::onDownloadProgress(float fraction) {
  if (!running() || !download_) return;
  checkGuiCall(progress_->setProgress(fraction), 71);
}

void ConnectOperation::onDownloadFailed() {
  if (!running() || !download_) return;
  finish(status::ovpnInstallerDownloadFailed);
}

void ConnectOperation::onDownloaded(std::shared_ptr<std::string> body) {
  if (!running() || !download_) return;
  dropDownload();
  std::string digest = sha256Hex(*body);
  writeDebugLog("OpenVPN installer SHA-256: " + digest + "\n");
  // Anyone on the path can replace a plain http body, and the installer runs
  // elevated: without TLS only its own signature vouches for it.
  if (!downloadOverHttps_) {
    bool trusted = seams_.installerTrusted ? seams_.installerTrusted(*body) : installerSignatureVerifies(*body);
    if (!trusted) {
      writeDebugLog("OpenVPN installer refused: fetched without TLS and its signature does not verify\n");
      finish(status::ovpnInstallerDownloadFailed);
      return;
    }
  }
  checkGuiCall(progress_->showStatus(progress::ovpnInstalling), 72);
  tunnel_->install(std::move(*body));
}

void ConnectOperation::onInstalled() {
  if (!running()) return;
  checkGuiCall(progress_->showStatus(progress::connecting), 73);
  checkGuiCall(progress_->setDeterminate(FALSE), 74);
}

void ConnectOperation::dropDownload() { download_.reset(); }

// ---- configuration and connection ----

void ConnectOperation::requestOvpnConfig() {
  if (!running()) return;
  send("ovpnConfig", rapidjson::Document(rapidjson::kObjectType), &ConnectOperation::onOvpnConfigReply);
}

void ConnectOperation::onOvpnConfigReply(const ApiResult& result) {
  if (!running()) return;
  std::string config;
  if (!replyString(result, "config", config)) {
    finish(status::ovpnConfigRequestFailed);
    return;
  }
  rapidjson::Document params(rapidjson::kObjectType);
  params.AddMember("game", choice_.gameId, params.GetAllocator());
  ComPtr<ConnectOperation> self(this);
  dispatcher_->callApi("routeTable", std::move(params),
                       [self, config](ApiResult reply) { self->onRouteTableReply(reply, config); });
}

void ConnectOperation::onRouteTableReply(const ApiResult& result, const std::string& config) {
  if (!running()) return;
  std::vector<RouteEntry> routes;
  try {
    if (result.kind != ApiResult::success) throw std::runtime_error("no usable reply");
    // Built whole or not at all: a bad element leaves no partial list.
    routes = readRouteTable(result.doc, choice_.serverIp);
  } catch (const std::exception&) {
    finish(status::routeTableRequestFailed);
    return;
  }
  tunnel_->connect(config, ipv4ToString(choice_.serverIp), choice_.udp, choice_.port, std::move(routes));
}

void ConnectOperation::onNeedCredentials() {
  if (!running()) return;
  tunnel_->sendAuth(choice_.user, choice_.password);
}

void ConnectOperation::onByteCount(uint64_t bytesIn, uint64_t bytesOut) {
  if (!running()) return;
  inMeter_.add(bytesIn);
  outMeter_.add(bytesOut);
}

// ---- endings ----

void ConnectOperation::onEstablished(uint32_t vpnIp) {
  if (!running()) return;
  ComPtr<ConnectOperation> self(this);
  dropDownload();
  SavedConfig& saved = dispatcher_->savedConfig();
  setStringMember(saved.document(), "serverPref", choice_.serverName);
  setStringMember(saved.document(), "gamePref", choice_.gameName);
  setBoolMember(saved.document(), "modePref", choice_.udp);
  setStringMember(saved.document(), "accountPref", choice_.user);
  saved.save();

  rapidjson::Document stats(rapidjson::kObjectType);
  auto& allocator = stats.GetAllocator();
  stats.AddMember("intIP", vpnIp, allocator);
  stats.AddMember("srvAddr", rapidjson::Value(choice_.serverAddr.c_str(), allocator), allocator);
  stats.AddMember("ping", choice_.latencyMs, allocator);
  dispatcher_->callApi("estabStats", std::move(stats), [](ApiResult) {});

  ComPtr<IOperationProgress> progress = std::move(progress_);
  checkGuiCall(progress->endSuccess(progress::none), 75);
  progress.Reset();
  overrideListener_ = listener_->onConnected(tunnel_, inMeter_, outMeter_);
  tunnel_.reset();
  listenerProxy_.reset();
  dispatcher_->release();
}

void ConnectOperation::fail(int code) {
  // The machine is idle after its report.
  endWithoutTunnel([code](IOperationProgress* p) { return p->endError(code); }, 64, false);
}

void ConnectOperation::finish(int code) {
  // The stopped machine's 20015 then finds the attempt ended.
  endWithoutTunnel([code](IOperationProgress* p) { return p->endError(code); }, 66, true);
}

void ConnectOperation::onCancel() {
  endWithoutTunnel([](IOperationProgress* p) { return p->endSuccess(progress::none); }, 60, true);
}

void ConnectOperation::endWithoutTunnel(const std::function<HRESULT(IOperationProgress*)>& report, int fatalCode,
                                        bool stopMachine) {
  if (!running()) return;
  ComPtr<ConnectOperation> self(this);
  dropDownload();
  ComPtr<IOperationProgress> progress = std::move(progress_);
  checkGuiCall(report(progress.Get()), fatalCode);
  progress.Reset();
  if (stopMachine) tunnel_->stop();
  // Destroying the machine joins its worker (its proxy goes with it), so the
  // machine has ended before the controller frees the controls for another
  // attempt.
  tunnel_.reset();
  listenerProxy_.reset();
  listener_->onConnectionClosed();
  dispatcher_->release();
}

// ---- the machine's proxy ----

OVPNListenerProxy::OVPNListenerProxy(ConnectOperation* operation) : operation_(operation) {}

void OVPNListenerProxy::forward(std::function<void(OVPNListener&)> toOverride,
                                std::function<void(ConnectOperation&)> toStep) {
  ComPtr<ConnectOperation> operation = operation_;
  operation->postToOwnerThread([operation, toOverride, toStep] {
    // Read when the task runs: an event raised before establishment and run
    // after it goes to the listener the tunnel was handed to.
    if (std::shared_ptr<OVPNListener> listener = operation->overrideListener()) {
      toOverride(*listener);
      return;
    }
    toStep(*operation.Get());
  });
}

void OVPNListenerProxy::missing() {
  forward([](OVPNListener& l) { l.missing(); }, [](ConnectOperation& o) { o.askOvpnDownload(); });
}
void OVPNListenerProxy::needConfig() {
  forward([](OVPNListener& l) { l.needConfig(); }, [](ConnectOperation& o) { o.requestOvpnConfig(); });
}
void OVPNListenerProxy::needCredentials() {
  forward([](OVPNListener& l) { l.needCredentials(); }, [](ConnectOperation& o) { o.onNeedCredentials(); });
}
void OVPNListenerProxy::installed() {
  forward([](OVPNListener& l) { l.installed(); }, [](ConnectOperation& o) { o.onInstalled(); });
}
void OVPNListenerProxy::connected(uint32_t vpnIp) {
  forward([vpnIp](OVPNListener& l) { l.connected(vpnIp); }, [vpnIp](ConnectOperation& o) { o.onEstablished(vpnIp); });
}
void OVPNListenerProxy::bytecount(uint64_t bytesIn, uint64_t bytesOut) {
  forward([bytesIn, bytesOut](OVPNListener& l) { l.bytecount(bytesIn, bytesOut); },
          [bytesIn, bytesOut](ConnectOperation& o) { o.onByteCount(bytesIn, bytesOut); });
}
void OVPNListenerProxy::status(int code) {
  forward([code](OVPNListener& l) { l.status(code); }, [code](ConnectOperation& o) { o.fail(code); });
}

MainOperation makeConnectOperation(std::shared_ptr<MainDispatcher> dispatcher, std::shared_ptr<ConnectListener> listener,
                                   const ConnectChoice& choice, ConnectSeams seams) {
  ComPtr<ConnectOperation> operation(
      new ConnectOperation(std::move(listener), choice, std::move(dispatcher), std::move(seams)));
  MainOperation made;
  made.operation = static_cast<IOperation*>(operation.Get());
  made.start = [operation](IOperationProgress* progress) { operation->start(progress); };
  return made;
}
