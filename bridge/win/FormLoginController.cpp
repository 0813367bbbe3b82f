#include "bridge/win/FormLoginController.h"

#include <exception>
#include <utility>

#include "bridge/win/UpdateDownloader.h"
#include "core/Endpoints.h"
#include "core/FatalError.h"
#include "core/SavedConfig.h"
#include "core/SignatureVerifier.h"
#include "core/StatusCodes.h"
#include "core/Text.h"
#include "core/win/System.h"
#include "service/ApiResult.h"
#include "service/ConnStateIds.h"
#include "service/HttpListener.h"
#include "service/HttpThread.h"
#include "service/Url.h"
#include "update/UpdateManifest.h"

using Microsoft::WRL::ComPtr;

namespace {

// Runs on the download's own thread and only posts; each task keeps the
// controller alive until it has run.
class ManifestListener : public HttpListener {
 public:
  ManifestListener(FormLoginController* controller, std::shared_ptr<MainDispatcher> dispatcher)
      : controller_(controller), dispatcher_(std::move(dispatcher)) {}
  void onError() override {
    ComPtr<FormLoginController> controller = controller_;
    dispatcher_->post([controller] { controller->reportUpdateError(status::manifestDownloadFailed); });
  }
  void onComplete(std::string body) override {
    ComPtr<FormLoginController> controller = controller_;
    dispatcher_->post(
        [controller, body = std::move(body)]() mutable { controller->onManifest(std::move(body)); });
  }
  void onProgress(uint32_t, uint32_t) override {}

 private:
  ComPtr<FormLoginController> controller_;
  std::shared_ptr<MainDispatcher> dispatcher_;
};

std::string bstrToUtf8(BSTR text) { return toUtf8(fromBstr(text)); }

// The BSTRs the client passes into a GUI call are its own to free afterwards.
struct BstrFree {
  void operator()(BSTR text) const { SysFreeString(text); }
};
using OwnedBstr = std::unique_ptr<OLECHAR, BstrFree>;

}  // namespace

FormLoginController::FormLoginController(std::shared_ptr<MainDispatcher> dispatcher, ControllerSeams seams,
                                         MainControllerStarter startMain)
    : dispatcher_(std::move(dispatcher)), seams_(std::move(seams)), startMain_(std::move(startMain)) {
  dispatcher_->acquire();
}

FormLoginController::~FormLoginController() {
  manifestDownload_.reset();
  subscription_.reset();
  view_.Reset();
}

void FormLoginController::postToOwnerThread(std::function<void()> task) { dispatcher_->post(std::move(task)); }

bool FormLoginController::callView(int fatalCode, const std::function<HRESULT(ILoginView*)>& call) {
  if (!view_) return false;
  ComPtr<ILoginView> view = view_;
  if (FAILED(call(view.Get()))) fatalError(fatalCode);
  return view_ != nullptr;
}

void FormLoginController::attach(ILoginView* view) {
  ComPtr<FormLoginController> self(this);
  view_ = view;
  if (!subscribeConnState()) return;
  if (!prefillSavedLogin()) return;
  if (!checkForUpdate()) return;
  callView(4, [](ILoginView* v) { return v->setLoginBusy(FALSE); });
}

bool FormLoginController::subscribeConnState() {
  int state = dispatcher_->connState();
  if (!callView(2, [state](ILoginView* v) { return v->showConnState(state); })) return false;
  // Held plainly: a counted reference here would keep a controller that the
  // GUI let go without detaching alive for ever. The subscription ends with it.
  subscription_ = dispatcher_->subscribeConnState([this](int changed) { onConnState(changed); });
  onConnState(dispatcher_->connState());
  return view_ != nullptr;
}

void FormLoginController::onConnState(int state) {
  // The last reference may have gone on another thread, the destruction
  // still on its way here: such an object is not raised from 0 again.
  ComPtr<FormLoginController> self = selfUnlessGoing();
  if (!self) return;
  callView(5, [state](ILoginView* v) { return v->showConnState(state); });
}

bool FormLoginController::prefillSavedLogin() {
  if (!view_) return false;
  const rapidjson::Document& settings = dispatcher_->savedConfig().document();
  std::string user = getStringOr(settings, "un", "");
  std::string password = getStringOr(settings, "pw", "");
  if (user.empty() || password.empty()) return true;
  OwnedBstr userText(makeBstr(fromUtf8(user)));
  OwnedBstr passwordText(makeBstr(fromUtf8(password)));
  ++prefillDepth_;
  bool stillViewed = callView(1, [&](ILoginView* v) { return v->showSavedLogin(userText.get(), passwordText.get()); });
  --prefillDepth_;
  return stillViewed;
}

bool FormLoginController::checkForUpdate() {
  if (!callView(3, [](ILoginView* v) { return v->setUpdateChecking(TRUE); })) return false;
  try {
    const std::string base = seams_.update.baseUrl.empty() ? downloadBaseUrl() : seams_.update.baseUrl;
    auto parts = std::make_shared<UrlParts>(parseUrl(base + "/desc"));
    auto listener = std::make_shared<ManifestListener>(this, dispatcher_);
    manifestDownload_.reset();
    manifestDownload_ = std::make_unique<HttpThread>(dispatcher_->randomSource(), listener, parts);
  } catch (...) {
    ComPtr<FormLoginController> self(this);
    dispatcher_->post([self] { self->reportUpdateError(status::manifestDownloadFailed); });
  }
  return true;
}

void FormLoginController::reportUpdateError(int code) {
  ComPtr<FormLoginController> self(this);
  manifestDownload_.reset();
  if (!callView(19, [code](ILoginView* v) { return v->showError(code); })) return;
  callView(20, [](ILoginView* v) { return v->setUpdateChecking(FALSE); });
}

void FormLoginController::onManifest(std::string body) {
  ComPtr<FormLoginController> self(this);
  manifestDownload_.reset();
  if (!view_) return;
  std::unique_ptr<UpdateManifest> manifest;
  try {
    std::unique_ptr<SignatureVerifier> verifier = SignatureVerifier::create();
    manifest = std::make_unique<UpdateManifest>(body, *verifier);
    if (seams_.update.clientProgram.empty())
      manifest->checkInstalledFiles();
    else
      manifest->checkInstalledFiles(seams_.update.clientProgram);
  } catch (const std::exception&) {
    reportUpdateError(status::manifestInvalid);
    return;
  }
  if (!manifest->updateNeeded()) {
    callView(22, [](ILoginView* v) { return v->setUpdateChecking(FALSE); });
    return;
  }
  BOOL yes = FALSE;
  // A view that went away during the question counts as no.
  if (!callView(21, [&yes](ILoginView* v) { return v->askUpdate(&yes); })) return;
  if (!yes) {
    callView(22, [](ILoginView* v) { return v->setUpdateChecking(FALSE); });
    return;
  }
  startUpdate(std::move(manifest));
}

void FormLoginController::startUpdate(std::unique_ptr<UpdateManifest> manifest) {
  updating_ = true;
  ComPtr<UpdateDownloader> operation(new UpdateDownloader(
      dispatcher_, static_cast<ILoginController*>(this), [this] { updateDone(); }, std::move(manifest), seams_.update));
  ComPtr<ILoginView> view = view_;
  ComPtr<IOperationProgress> progress;
  HRESULT result = view->beginUpdate(static_cast<IOperation*>(operation.Get()), progress.GetAddressOf());
  if (FAILED(result) || !progress) fatalError(18);
  // Started even when the view went away meanwhile: the operation holds the
  // busy count and gives it back only when it ends.
  operation->start(progress.Get());
}

void FormLoginController::updateDone() {
  ComPtr<FormLoginController> self(this);
  if (!callView(27, [](ILoginView* v) { return v->updateEnded(); })) return;
  if (!callView(28, [](ILoginView* v) { return v->setUpdateChecking(FALSE); })) return;
  updating_ = false;
}

HRESULT FormLoginController::login(BSTR user, BSTR password, BOOL remember) {
  if (manifestDownload_ || !connState::connected(dispatcher_->connState()) || loginBusy_ || updating_ || !view_) return S_OK;
  if (!user || !password) return E_INVALIDARG;
  ComPtr<FormLoginController> self(this);
  loginBusy_ = true;
  if (!callView(35, [](ILoginView* v) { return v->setLoginBusy(TRUE); })) return S_OK;

  std::string userText = bstrToUtf8(user);
  std::string passwordText = bstrToUtf8(password);
  rapidjson::Document params(rapidjson::kObjectType);
  auto& allocator = params.GetAllocator();
  params.AddMember("un", rapidjson::Value(userText.data(), static_cast<rapidjson::SizeType>(userText.size()), allocator),
                   allocator);
  params.AddMember(
      "pw", rapidjson::Value(passwordText.data(), static_cast<rapidjson::SizeType>(passwordText.size()), allocator),
      allocator);
  bool keep = remember != FALSE;
  dispatcher_->callApi("login", std::move(params),
                       [self, userText, passwordText, keep](ApiResult result) {
                         self->onLoginResult(userText, passwordText, keep, std::move(result));
                       });
  return S_OK;
}

void FormLoginController::onLoginResult(const std::string& user, const std::string& password, bool remember,
                                        ApiResult result) {
  if (!view_) return;
  ComPtr<FormLoginController> self(this);
  if (result.kind == ApiResult::success) {
    if (remember) {
      SavedConfig& config = dispatcher_->savedConfig();
      setStringMember(config.document(), "un", user);
      setStringMember(config.document(), "pw", password);
      config.save();
    }
    ComPtr<ILoginView> view = view_;
    startMain_([&view](IMainController* main) {
      ComPtr<IMainView> mainView;
      HRESULT loggedIn = view->loggedIn(main, mainView.GetAddressOf());
      if (FAILED(loggedIn) || !mainView) fatalError(40);
      return mainView;
    });
    view_.Reset();
    return;
  }
  loginBusy_ = false;
  int code = result.kind == ApiResult::noReply       ? loginError::noReply
             : result.kind == ApiResult::serverError ? result.code
                                                     : loginError::unusableReply;
  if (!callView(36, [code](ILoginView* v) { return v->showError(code); })) return;
  callView(114, [](ILoginView* v) { return v->setLoginBusy(FALSE); });
}

HRESULT FormLoginController::clearSavedLogin() {
  if (prefillDepth_ > 0) return S_OK;
  SavedConfig& config = dispatcher_->savedConfig();
  std::string user = getStringOr(config.document(), "un", "");
  std::string password = user.empty() ? getStringOr(config.document(), "pw", "") : std::string();
  if (user.empty() && password.empty()) return S_OK;
  removeMember(config.document(), "un");
  removeMember(config.document(), "pw");
  config.save();
  return S_OK;
}

HRESULT FormLoginController::detach() {
  if (detached_) return S_OK;
  detached_ = true;
  ComPtr<FormLoginController> self(this);
  manifestDownload_.reset();
  view_.Reset();
  subscription_.reset();
  dispatcher_->release();
  return S_OK;
}
