#include "tests/support/win/ScriptedGui.h"

#include <gtest/gtest.h>

#include "core/Text.h"
#include "tests/support/win/RecordingGui.h"

using Microsoft::WRL::ComPtr;

namespace {

// Reference counting and the call for every object: deleted with its last
// reference, counted while alive.
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
  HRESULT call(const std::string& text) { return gui_.note(text); }

 protected:
  ScriptedGui& gui_;
  int count_ = 0;
};

class ProgressHooks : public Fake<IOperationProgress> {
 public:
  using Fake::Fake;
  void progressSet(float) {}
  BOOL answerAsk(int id) {
    auto answer = gui_.askAnswers.find(id);
    return answer != gui_.askAnswers.end() ? answer->second : gui_.retryAnswer;
  }
  void progressEnded() {}
};
using FakeProgress = RecordingProgress<ProgressHooks>;

class MainViewHooks : public Fake<IMainView> {
 public:
  using Fake::Fake;
  HRESULT reservedSlot() { return call("IMainView::reserved"); }
  HRESULT handOutProgress(IUnknown* operation, IOperationProgress** progress) {
    if (!operation) return E_POINTER;
    gui_.operation = operation;
    if (gui_.handsOutNull("IMainView::beginOperation")) return S_OK;
    *progress = new FakeProgress(gui_);
    (*progress)->AddRef();
    return S_OK;
  }
  HRESULT handOutLoginView(IUnknown* controller, ILoginView** view) {
    if (!controller || FAILED(controller->QueryInterface(IID_PPV_ARGS(&gui_.loginController)))) return E_NOINTERFACE;
    if (gui_.handsOutNull("IMainView::backToLogin")) return S_OK;
    *view = gui_.newLoginView();
    return S_OK;
  }
};

// Keeps the objects it is shown, as the window would, before recording.
class FakeMainView : public RecordingMainView<MainViewHooks> {
 public:
  using RecordingMainView::RecordingMainView;
  HRESULT STDMETHODCALLTYPE showAccountInfo(IUnknown* info) override {
    gui_.accountInfo = info;
    return RecordingMainView::showAccountInfo(info);
  }
  HRESULT STDMETHODCALLTYPE showGames(IUnknown* games) override {
    gui_.games = games;
    return RecordingMainView::showGames(games);
  }
  HRESULT STDMETHODCALLTYPE showServers(IUnknown* servers) override {
    gui_.servers = servers;
    return RecordingMainView::showServers(servers);
  }
};

class LoginViewHooks : public Fake<ILoginView> {
 public:
  using Fake::Fake;
  void connStateShown(int) {}
  void updateCheckingShown(BOOL) {}
  void answerUpdate(BOOL* yes) {
    if (*yes != FALSE) gui_.calls.push_back("ILoginView::askUpdate answer not preset");
    *yes = gui_.updateAnswer;
  }
  HRESULT handOutProgress(IUnknown* operation, IOperationProgress** progress) {
    ComPtr<IOperation> asOperation;
    if (!operation || FAILED(operation->QueryInterface(IID_PPV_ARGS(&asOperation)))) return E_NOINTERFACE;
    if (gui_.handsOutNull("ILoginView::beginUpdate")) return S_OK;
    *progress = new FakeProgress(gui_);
    (*progress)->AddRef();
    return S_OK;
  }
  HRESULT handOutMainView(IUnknown* controller, IMainView** view) {
    if (!controller || FAILED(controller->QueryInterface(IID_PPV_ARGS(&gui_.mainController)))) return E_NOINTERFACE;
    if (gui_.handsOutNull("ILoginView::loggedIn")) return S_OK;
    *view = new FakeMainView(gui_);
    (*view)->AddRef();
    return S_OK;
  }
};
using FakeLoginView = RecordingLoginView<LoginViewHooks>;

class EntryHooks : public Fake<IGuiEntry> {
 public:
  using Fake::Fake;
  HRESULT handOutLoginView(IUnknown* controller, ILoginView** view) {
    if (!controller || FAILED(controller->QueryInterface(IID_PPV_ARGS(&gui_.loginController)))) return E_NOINTERFACE;
    *view = gui_.newLoginView();
    return S_OK;
  }
};
using FakeEntry = RecordingGuiEntry<EntryHooks>;

}  // namespace

ScriptedGui::ScriptedGui() = default;

ScriptedGui::~ScriptedGui() {
  loginController.Reset();
  mainController.Reset();
  releaseShown();
}

void ScriptedGui::releaseShown() {
  accountInfo.Reset();
  servers.Reset();
  games.Reset();
  operation.Reset();
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

IMainView* ScriptedGui::newMainView() {
  IMainView* view = new FakeMainView(*this);
  view->AddRef();
  return view;
}

HRESULT ScriptedGui::note(const std::string& text) {
  std::string method = text.substr(0, text.find(' '));
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
  return failing == name && counts_[name.substr(0, name.rfind(':'))] == failingCall;
}

bool ScriptedGui::handsOutNull(const std::string& method) { return isFailingCall(method + ":null"); }

void ScriptedGui::logInWhenReady(const std::string& call, const std::function<void(std::function<void()>)>& later) {
  if (call == "ILoginView::showConnState 4") channelShown_ = true;
  if (call == "ILoginView::setUpdateChecking 0") updateChecked_ = true;
  if (!loginSent_ && channelShown_ && updateChecked_) {
    loginSent_ = true;
    later([this] {
      ASSERT_TRUE(loginController) << "no login window to log in from";
      BSTR user = SysAllocString(L"user");
      BSTR password = SysAllocString(L"secret");
      EXPECT_EQ(loginController->login(user, password, FALSE), S_OK);
      SysFreeString(user);
      SysFreeString(password);
    });
  }
  if (!mainShown_ && startsWith(call, "IMainView::")) {
    mainShown_ = true;
    ComPtr<ILoginController> first = std::move(loginController);
    later([first] {
      if (first) first->detach();
    });
  }
}

void ScriptedGui::closeLogin() {
  ComPtr<ILoginController> controller = std::move(loginController);
  if (controller) controller->detach();
}

void ScriptedGui::closeMain() {
  ComPtr<IMainController> controller = std::move(mainController);
  if (controller) controller->detach();
}
