#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bridge/RateMeter.h"
#include "bridge/TunnelMachine.h"
#include "bridge/win/ComRefCount.h"
#include "bridge/win/ControllerSeams.h"
#include "bridge/win/GuiInterfaces.h"
#include "core/Json.h"
#include "tunnel/OVPNListener.h"

struct ApiResult;
class ConnectListener;
class HttpThread;
class MainDispatcher;
class OVPNListenerProxy;

// One connect attempt, from the press of connect to an established tunnel or
// to one reported end: it drives one tunnel machine and answers its reports,
// asks whether OpenVPN may be installed, fetches and downloads the installer,
// fetches the server's configuration and the game's routes, answers every
// password request, and once the tunnel is up saves the user's choices,
// reports the connection to the backend and hands the tunnel and both meters
// to its listener. The GUI sees it through its progress interface: status
// and question ids 90000 to 90004, a determinate bar during the download and
// one endSuccess or endError.
//
// A native COM object held by the GUI, its posted tasks, its pending reply
// callbacks and its two proxies; its fields are used on the main thread only.
// After establishment the tunnel still holds the machine's proxy, which keeps
// this object and passes each later event to the listener its own listener
// returned.
class ConnectOperation : public ComObject<ConnectOperation, IOperation> {
 public:
  // Makes the tunnel machine, which idles until start, and raises the
  // dispatcher's busy count. The object starts with a count of 1, the
  // machine's proxy's, held for as long as the machine lives; a throw from
  // making the machine leaves no busy count behind.
  ConnectOperation(std::shared_ptr<ConnectListener> listener, const ConnectChoice& choice,
                   std::shared_ptr<MainDispatcher> dispatcher, ConnectSeams seams);

  // Once, with the GUI's progress interface for this attempt.
  void start(IOperationProgress* progress);
  // Drops a running download at once; the attempt ends with endSuccess(0) in
  // a posted task, unless another ending comes first.
  HRESULT STDMETHODCALLTYPE cancel() override;

  // The machine's events, from OVPNListenerProxy's tasks.
  void askOvpnDownload();
  void requestOvpnConfig();
  void onNeedCredentials();
  void onInstalled();
  void onEstablished(uint32_t vpnIp);
  void onByteCount(uint64_t bytesIn, uint64_t bytesOut);
  void fail(int code);
  // Set from establishment on: the listener that then takes every event.
  const std::shared_ptr<OVPNListener>& overrideListener() const { return overrideListener_; }

  // The download's events, from DownloadListenerProxy's tasks; those of a
  // dropped download change nothing.
  void onDownloadProgress(float fraction);
  void onDownloadFailed();
  void onDownloaded(std::shared_ptr<std::string> body);

  void postToOwnerThread(std::function<void()> task);

 private:
  friend class ComObject<ConnectOperation, IOperation>;
  ~ConnectOperation();

  // Endings run only as tasks and reply callbacks of their own, never inside
  // a call into the GUI (the dispatcher wakes by an event, not a window
  // message), so a step that found the attempt running stays so throughout.
  bool running() const { return progress_ != nullptr; }
  void onOvpnDownloadReply(const ApiResult& result);
  void startDownload(const std::string& url);
  void onOvpnConfigReply(const ApiResult& result);
  void onRouteTableReply(const ApiResult& result, const std::string& config);
  void finish(int code);
  void onCancel();
  void dropDownload();
  // The three endings without a tunnel: report (fatal with fatalCode when
  // the call fails), let the machine go (stopped first when it may still
  // run), then tell the listener.
  void endWithoutTunnel(const std::function<HRESULT(IOperationProgress*)>& report, int fatalCode, bool stopMachine);
  // Sends op with params; the handler runs with a reference to this object.
  void send(const char* op, rapidjson::Document params,
            void (ConnectOperation::*handler)(const ApiResult& result));

  std::shared_ptr<MainDispatcher> dispatcher_;
  std::shared_ptr<ConnectListener> listener_;
  // Empty before start and once the attempt has ended: every step tests it.
  Microsoft::WRL::ComPtr<IOperationProgress> progress_;
  std::shared_ptr<OVPNListenerProxy> listenerProxy_;
  std::shared_ptr<TunnelMachine> tunnel_;
  std::shared_ptr<OVPNListener> overrideListener_;
  RateMeter inMeter_;
  RateMeter outMeter_;
  const ConnectChoice choice_;
  const ConnectSeams seams_;
  std::unique_ptr<HttpThread> download_;
  bool downloadOverHttps_ = false;
  bool missingAsked_ = false;
};

// The OVPNListener of one attempt's machine: on the machine's thread each
// event takes a reference to the operation and posts; the task calls the
// operation's override listener once it has one, else the operation's step.
class OVPNListenerProxy : public OVPNListener {
 public:
  explicit OVPNListenerProxy(ConnectOperation* operation);

  void missing() override;
  void needConfig() override;
  void needCredentials() override;
  void installed() override;
  void connected(uint32_t vpnIp) override;
  void bytecount(uint64_t bytesIn, uint64_t bytesOut) override;
  void status(int code) override;

 private:
  void forward(std::function<void(OVPNListener&)> toOverride, std::function<void(ConnectOperation&)> toStep);

  Microsoft::WRL::ComPtr<ConnectOperation> operation_;
};

// The client's own connect operation, as the main controller makes it.
MainOperation makeConnectOperation(std::shared_ptr<MainDispatcher> dispatcher, std::shared_ptr<ConnectListener> listener,
                                   const ConnectChoice& choice, ConnectSeams seams);
