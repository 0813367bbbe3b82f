#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bridge/win/ComRefCount.h"
#include "bridge/win/ControllerSeams.h"
#include "bridge/win/ControllerStarters.h"
#include "bridge/win/GuiInterfaces.h"
#include "core/app/win/MainDispatcher.h"

class HttpThread;
class UpdateManifest;
struct ApiResult;

// The native object behind the GUI's login window: shows the channel state and
// the saved login, checks for an update each time it is attached, sends the
// login and hands the GUI its main controller. Main thread only.
class FormLoginController : public ComObject<FormLoginController, ILoginController> {
 public:
  // Raises the dispatcher's busy count; detach lowers it. The object starts
  // with a count of 0: the creator's reference is the first. The update
  // operation it starts gets the update seams; after a successful login
  // startMain makes the main controller.
  FormLoginController(std::shared_ptr<MainDispatcher> dispatcher, ControllerSeams seams,
                      MainControllerStarter startMain);

  // Takes a reference to view and shows the channel state, the saved login
  // and the update check on it.
  void attach(ILoginView* view);

  HRESULT STDMETHODCALLTYPE clearSavedLogin() override;
  // Idempotent: only the first call lowers the busy count.
  HRESULT STDMETHODCALLTYPE detach() override;
  HRESULT STDMETHODCALLTYPE login(BSTR user, BSTR password, BOOL remember) override;

  // The accepted update's operation ended without starting the updater.
  void updateDone();

  // Tasks of the manifest download (main thread).
  void onManifest(std::string body);
  void reportUpdateError(int code);

  void postToOwnerThread(std::function<void()> task);

 private:
  friend class ComObject<FormLoginController, ILoginController>;
  ~FormLoginController();

  bool subscribeConnState();
  void onConnState(int state);
  bool prefillSavedLogin();
  bool checkForUpdate();
  void startUpdate(std::unique_ptr<UpdateManifest> manifest);
  void onLoginResult(const std::string& user, const std::string& password, bool remember, ApiResult result);
  // One call into the view, fatal with code when it fails; false when there
  // is no view before the call or none any more after it (the GUI may pump
  // messages and detach this controller inside any call).
  bool callView(int fatalCode, const std::function<HRESULT(ILoginView*)>& call);

  std::shared_ptr<MainDispatcher> dispatcher_;
  const ControllerSeams seams_;
  const MainControllerStarter startMain_;
  Microsoft::WRL::ComPtr<ILoginView> view_;
  bool loginBusy_ = false;
  bool updating_ = false;
  bool detached_ = false;
  ConnStateSubscription subscription_;
  uint16_t prefillDepth_ = 0;
  std::unique_ptr<HttpThread> manifestDownload_;
};
