#include "tests/bridge/ScriptedGui.h"

#include "core/Text.h"
#include "core/win/System.h"

using Microsoft::WRL::ComPtr;

namespace {

std::string quoted(BSTR text) { return "\"" + toUtf8(fromBstr(text)) + "\""; }
std::string number(long long value) { return std::to_string(value); }

template <class Interface>
class Fake : public Interface {
 public:
  explicit Fake(ScriptedGui& gui) : gui_(gui) { gui_.changeLive(1); }
  virtual ~Fake() { gui_.changeLive(-1); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid != __uuidof(IUnknown) && iid != __uuidof(Interface)) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++count_); }
  ULONG STDMETHODCALLTYPE Release() override {
    int left = --count_;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 protected:
  ScriptedGui& gui_;
  int count_ = 0;
};

class FakeProgress : public Fake<IOperationProgress> {
 public:
  using Fake::Fake;
  HRESULT STDMETHODCALLTYPE showStatus(int id) override { return gui_.note("progress.showStatus", number(id)); }
  HRESULT STDMETHODCALLTYPE setDeterminate(BOOL on) override {
    return gui_.note("progress.setDeterminate", number(on));
  }
  HRESULT STDMETHODCALLTYPE setProgress(float) override { return gui_.note("progress.setProgress"); }
  HRESULT STDMETHODCALLTYPE ask(int id, BOOL* yes) override {
    *yes = gui_.retryAnswer;
    return gui_.note("progress.ask", number(id));
  }
  HRESULT STDMETHODCALLTYPE endSuccess(int id) override { return gui_.note("progress.endSuccess", number(id)); }
  HRESULT STDMETHODCALLTYPE endError(int code) override { return gui_.note("progress.endError", number(code)); }
};

class FakeMainView : public Fake<IMainView> {
 public:
  using Fake::Fake;
  HRESULT STDMETHODCALLTYPE reserved() override { return gui_.note("main.reserved"); }
  HRESULT STDMETHODCALLTYPE showAccounts(SAFEARRAY*, int) override { return gui_.note("main.showAccounts"); }
  HRESULT STDMETHODCALLTYPE showAccountInfo(IUnknown*) override { return gui_.note("main.showAccountInfo"); }
  HRESULT STDMETHODCALLTYPE showGames(IUnknown*) override { return gui_.note("main.showGames"); }
  HRESULT STDMETHODCALLTYPE showServers(IUnknown*) override { return gui_.note("main.showServers"); }
  HRESULT STDMETHODCALLTYPE showModePref(BOOL) override { return gui_.note("main.showModePref"); }
  HRESULT STDMETHODCALLTYPE showServerLatency(UINT, int) override { return gui_.note("main.showServerLatency"); }
  HRESULT STDMETHODCALLTYPE beginOperation(IUnknown*, IOperationProgress** progress) override {
    *progress = nullptr;
    return gui_.note("main.beginOperation");
  }
  HRESULT STDMETHODCALLTYPE connectEnded() override { return gui_.note("main.connectEnded"); }
  HRESULT STDMETHODCALLTYPE backendLost() override { return gui_.note("main.backendLost"); }
  HRESULT STDMETHODCALLTYPE showError(int code) override { return gui_.note("main.showError", number(code)); }
  HRESULT STDMETHODCALLTYPE backToLogin(IUnknown*, ILoginView** view) override {
    *view = nullptr;
    return gui_.note("main.backToLogin");
  }
  HRESULT STDMETHODCALLTYPE connected() override { return gui_.note("main.connected"); }
  HRESULT STDMETHODCALLTYPE disconnected() override { return gui_.note("main.disconnected"); }
  HRESULT STDMETHODCALLTYPE enableIdleControls(BOOL) override { return gui_.note("main.enableIdleControls"); }
  HRESULT STDMETHODCALLTYPE setConnected(BOOL) override { return gui_.note("main.setConnected"); }
  HRESULT STDMETHODCALLTYPE enableRepair(BOOL) override { return gui_.note("main.enableRepair"); }
  HRESULT STDMETHODCALLTYPE enableConnectChoice(BOOL) override { return gui_.note("main.enableConnectChoice"); }
  HRESULT STDMETHODCALLTYPE enableIdleControls2(BOOL) override { return gui_.note("main.enableIdleControls2"); }
};

class FakeLoginView : public Fake<ILoginView> {
 public:
  using Fake::Fake;
  HRESULT STDMETHODCALLTYPE showSavedLogin(BSTR user, BSTR password) override {
    return gui_.note("showSavedLogin", quoted(user) + " " + quoted(password));
  }
  HRESULT STDMETHODCALLTYPE showConnState(int state) override { return gui_.note("showConnState", number(state)); }
  HRESULT STDMETHODCALLTYPE setUpdateChecking(BOOL on) override {
    return gui_.note("setUpdateChecking", number(on));
  }
  HRESULT STDMETHODCALLTYPE setLoginBusy(BOOL on) override { return gui_.note("setLoginBusy", number(on)); }
  HRESULT STDMETHODCALLTYPE beginUpdate(IUnknown* operation, IOperationProgress** progress) override {
    ComPtr<IOperation> asOperation;
    if (!operation || FAILED(operation->QueryInterface(IID_PPV_ARGS(&asOperation)))) return E_NOINTERFACE;
    HRESULT result = gui_.note("beginUpdate");
    *progress = nullptr;
    if (result == S_OK && !gui_.handsOutNull("beginUpdate")) {
      *progress = new FakeProgress(gui_);
      (*progress)->AddRef();
    }
    return result;
  }
  HRESULT STDMETHODCALLTYPE updateEnded() override { return gui_.note("updateEnded"); }
  HRESULT STDMETHODCALLTYPE showError(int code) override { return gui_.note("showError", number(code)); }
  HRESULT STDMETHODCALLTYPE askUpdate(BOOL* yes) override {
    std::string preset = *yes == FALSE ? "" : "(answer not preset)";
    *yes = gui_.updateAnswer;
    return gui_.note("askUpdate", preset);
  }
  HRESULT STDMETHODCALLTYPE loggedIn(IUnknown* controller, IMainView** view) override {
    *view = nullptr;
    if (!controller || FAILED(controller->QueryInterface(IID_PPV_ARGS(&gui_.mainController)))) return E_NOINTERFACE;
    HRESULT result = gui_.note("loggedIn");
    if (result == S_OK && !gui_.handsOutNull("loggedIn")) {
      *view = new FakeMainView(gui_);
      (*view)->AddRef();
    }
    return result;
  }
};

class FakeEntry : public Fake<IGuiEntry> {
 public:
  using Fake::Fake;
  HRESULT STDMETHODCALLTYPE showLogin(IUnknown* controller, ILoginView** view) override {
    *view = nullptr;
    if (!controller || FAILED(controller->QueryInterface(IID_PPV_ARGS(&gui_.loginController)))) return E_NOINTERFACE;
    HRESULT result = gui_.note("showLogin");
    if (result == S_OK) *view = gui_.newLoginView();
    return result;
  }
};

}  // namespace

ScriptedGui::ScriptedGui() = default;

ScriptedGui::~ScriptedGui() {
  loginController.Reset();
  mainController.Reset();
}

IGuiEntry* ScriptedGui::newEntry() {
  IGuiEntry* entry = new FakeEntry(*this);
  entry->AddRef();
  return entry;
}

ILoginView* ScriptedGui::newLoginView() {
  ILoginView* view = new FakeLoginView(*this);
  view->AddRef();
  return view;
}

HRESULT ScriptedGui::note(const std::string& method, const std::string& detail) {
  std::string text = detail.empty() ? method : method + " " + detail;
  calls.push_back(text);
  int call = ++counts_[method];
  bool fail = failing == method && call == failingCall;
  auto action = during.find(text);
  if (action == during.end()) action = during.find(method);
  if (action != during.end()) {
    std::function<void()> run = std::move(action->second);
    during.erase(action);
    run();
  }
  if (observer) observer(text);
  return fail ? E_FAIL : S_OK;
}

bool ScriptedGui::isFailingCall(const std::string& name) {
  return failing == name && counts_[name.substr(0, name.find(':'))] == failingCall;
}

bool ScriptedGui::handsOutNull(const std::string& method) { return isFailingCall(method + ":null"); }

void ScriptedGui::closeLogin() {
  ComPtr<ILoginController> controller = std::move(loginController);
  if (controller) controller->detach();
}

void ScriptedGui::closeMain() {
  ComPtr<IMainController> controller = std::move(mainController);
  if (controller) controller->detach();
}
