// The stand-in GUI that the stand-in "__" hands to the client: an IGuiEntry
// and views that record every call (checked to arrive on the main thread) and
// follow a small script. Any GUI method named in ZAV_STANDIN_FAIL (for
// instance "ILoginView::setLoginBusy") returns E_FAIL; "IGuiEntry::showLogin:null"
// returns no view.
//
// ZAV_STANDIN_GUI actions, separated by ',':
//   detach-after:MS            detach the login controller MS after showLogin
//   detach-when-file:PATH      detach it once the file PATH exists
//   detach-on-state:N          detach it once showConnState(N) arrives
//   login-on-state:N:USER:PW:R call login(USER, PW, R) once state N arrives
//                              and no update check runs (a window's login
//                              button is off while one does)
//   leave-after-login          after loggedIn, detach the login controller,
//                              then the main controller
//   main-steps:STEP:...        main window: each STEP once the window has its
//                              games and servers, nothing is outstanding and
//                              no operation runs: choose-N (chooseAccount(N)),
//                              connect-G-S-U (connect(U, the id and name of
//                              game G, server S)) or logout; and once the
//                              window shows a connection: rates-N (getRates
//                              N times, a second apart) or disconnect
//   leave-after-logout         once the main window went back to the login
//                              window, detach both controllers (no new login)
// The main window records what the account, server and game objects hold.
//   answer-update:yes          askUpdate answers TRUE
//   answer-install:yes         the question 90000 (install OpenVPN?) answers TRUE
// The GUI acts from timer callbacks, as a window's event would, never from
// inside the client's call.

#include <windows.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/win/GuiInterfaces.h"
#include "tests/support/hosting/StandIn.h"
#include "tests/support/hosting/StandInGui.h"
#include "tests/support/win/RecordingGui.h"

namespace {
using standin::error;
using standin::failing;
using standin::record;

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream stream(text);
  while (std::getline(stream, part, separator)) parts.push_back(part);
  return parts;
}

std::map<UINT_PTR, std::function<void()>>& timers() {
  static std::map<UINT_PTR, std::function<void()>> pending;
  return pending;
}

void CALLBACK onTimer(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  auto found = timers().find(id);
  if (found == timers().end()) return;
  std::function<void()> action = std::move(found->second);
  timers().erase(found);
  standin::checkThread("timer");
  action();
}

void later(UINT milliseconds, std::function<void()> action) {
  UINT_PTR id = SetTimer(nullptr, 0, milliseconds, &onTimer);
  if (!id) {
    error("SetTimer failed");
    return;
  }
  timers()[id] = std::move(action);
}

template <class Interface>
class GuiObject : public Interface {
 public:
  explicit GuiObject(const char* name) : counted_(name) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(Interface)) {
      counted_.addRef();
      *out = this;
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return counted_.addRef(); }
  // Objects outlive their last reference so that late calls are caught.
  ULONG STDMETHODCALLTYPE Release() override { return counted_.release(); }

  // Each GUI method: on the main thread, recorded, failed when told so.
  HRESULT call(const std::string& text) {
    standin::checkThread(text.c_str());
    record(text);
    return failing(text.substr(0, text.find(' ')).c_str()) ? E_FAIL : S_OK;
  }

 protected:
  standin::Counted counted_;
};

std::vector<std::string> action(const char* name);
void mainOperationEnded();

class ProgressHooks : public GuiObject<IOperationProgress> {
 public:
  ProgressHooks() : GuiObject("IOperationProgress") {}
  void progressSet(float) {}
  BOOL answerAsk(int id) {
    std::vector<std::string> answer = action("answer-install");
    return id == 90000 && answer.size() == 2 && answer[1] == "yes" ? TRUE : FALSE;
  }
  // The GUI closes the progress.
  void progressEnded() {
    if (ofMainWindow) mainOperationEnded();
    Release();
  }
  bool ofMainWindow = false;
};
using Progress = RecordingProgress<ProgressHooks>;

// Hands out a progress interface with one reference for the caller, keeping
// one for the GUI until the operation ends.
HRESULT beginProgress(IUnknown* operation, IOperationProgress** progress, bool ofMainWindow = false) {
  if (!operation) error("operation is null");
  auto* made = new Progress();
  made->ofMainWindow = ofMainWindow;
  made->AddRef();
  *progress = made;
  return S_OK;
}

HRESULT showLoginWindow(IUnknown* loginController, ILoginView** view);

class MainViewHooks : public GuiObject<IMainView> {
 public:
  MainViewHooks() : GuiObject("IMainView") {}
  HRESULT reservedSlot() {
    error("IMainView's first slot called");
    return E_FAIL;
  }
  HRESULT handOutProgress(IUnknown* operation, IOperationProgress** progress);
  HRESULT handOutLoginView(IUnknown* loginController, ILoginView** view);
};

// What a list object's getter hands out, as record text.
template <class Getter>
std::string gotText(Getter getter) {
  BSTR value = nullptr;
  HRESULT result = getter(&value);
  std::string out = SUCCEEDED(result) ? guicall::text(value) : " (failed)";
  SysFreeString(value);
  return out;
}
template <class Getter>
std::string gotNumber(Getter getter) {
  int value = 0;
  HRESULT result = getter(&value);
  return SUCCEEDED(result) ? guicall::number(value) : " (failed)";
}

template <class Interface>
Interface* queried(IUnknown* object, const char* name) {
  void* out = nullptr;
  if (!object || FAILED(object->QueryInterface(__uuidof(Interface), &out))) {
    error(std::string("object lacks ") + name);
    return nullptr;
  }
  return static_cast<Interface*>(out);
}

void describeAccount(IUnknown* object) {
  IAccountInfo* info = queried<IAccountInfo>(object, "IAccountInfo");
  if (!info) return;
  auto text = [info](HRESULT (STDMETHODCALLTYPE IAccountInfo::*getter)(BSTR*)) {
    return gotText([info, getter](BSTR* out) { return (info->*getter)(out); });
  };
  auto number = [info](HRESULT (STDMETHODCALLTYPE IAccountInfo::*getter)(int*)) {
    return gotNumber([info, getter](int* out) { return (info->*getter)(out); });
  };
  record("GUI: account userName" + text(&IAccountInfo::userName) + " status" + number(&IAccountInfo::status) +
         " statusText" + text(&IAccountInfo::statusText) + " productName" + text(&IAccountInfo::productName) +
         " policy" + number(&IAccountInfo::policy) + " policyText" + text(&IAccountInfo::policyText) +
         " expireDate" + text(&IAccountInfo::expireDate) + " balance" + number(&IAccountInfo::balance) +
         " timeLength" + number(&IAccountInfo::timeLength) + " flowLength" + number(&IAccountInfo::flowLength));
  info->Release();
}

// Records the list's count and preferred name; returns the count.
template <class List>
int describeList(List* list, const char* what) {
  int count = 0;
  if (FAILED(list->count(&count))) error(std::string(what) + "::count failed");
  record(std::string("GUI: ") + what + " count" + guicall::number(count) + " preferred" +
         gotText([list](BSTR* out) { return list->preferredName(out); }));
  return count;
}

void describeServers(IUnknown* object) {
  IServerList* list = queried<IServerList>(object, "IServerList");
  if (!list) return;
  int count = describeList(list, "servers");
  for (UINT i = 0; i < static_cast<UINT>(count); ++i)
    record("GUI: server" + guicall::number(i) + gotText([list, i](BSTR* out) { return list->name(i, out); }));
  list->Release();
}

void describeGames(IUnknown* object) {
  IGameList* list = queried<IGameList>(object, "IGameList");
  if (!list) return;
  int count = describeList(list, "games");
  for (UINT i = 0; i < static_cast<UINT>(count); ++i) {
    record("GUI: game" + guicall::number(i) + " id" + gotNumber([list, i](int* out) { return list->id(i, out); }) +
           " name" + gotText([list, i](BSTR* out) { return list->name(i, out); }) + " desc" +
           gotText([list, i](BSTR* out) { return list->desc(i, out); }));
  }
  list->Release();
}

void mainWindowChanged();

// The main window: records what it is shown and, as its script says, acts
// once it has everything and its controls are enabled again.
class MainView : public RecordingMainView<MainViewHooks> {
 public:
  HRESULT STDMETHODCALLTYPE showAccountInfo(IUnknown* accountInfo) override {
    return took(RecordingMainView::showAccountInfo(accountInfo), [accountInfo] { describeAccount(accountInfo); });
  }
  HRESULT STDMETHODCALLTYPE showServers(IUnknown* servers) override {
    return took(RecordingMainView::showServers(servers), [this, servers] {
      describeServers(servers);
      hasServers = true;
    });
  }
  HRESULT STDMETHODCALLTYPE showGames(IUnknown* games) override {
    return took(RecordingMainView::showGames(games), [this, games] {
      describeGames(games);
      if (gameList) gameList->Release();
      gameList = queried<IGameList>(games, "IGameList");
      hasGames = true;
    });
  }
  HRESULT STDMETHODCALLTYPE connected() override {
    return took(RecordingMainView::connected(), [this] { showsConnection = true; });
  }
  HRESULT STDMETHODCALLTYPE disconnected() override {
    return took(RecordingMainView::disconnected(), [this] { showsConnection = false; });
  }
  HRESULT STDMETHODCALLTYPE enableConnectChoice(BOOL enable) override {
    return took(RecordingMainView::enableConnectChoice(enable), [this, enable] { choosable = enable != FALSE; });
  }

  bool hasGames = false;
  bool hasServers = false;
  bool choosable = false;
  bool loggingOut = false;
  bool operationRunning = false;  // from beginOperation to its progress's end
  bool showsConnection = false;   // from connected to disconnected
  IGameList* gameList = nullptr;  // the games shown last, held
  size_t nextStep = 1;  // the script entry's parts after its name
  bool stepScheduled = false;

 private:
  // A call the window took: note what it now holds, then look at the script.
  HRESULT took(HRESULT result, const std::function<void()>& note) {
    if (SUCCEEDED(result)) {
      note();
      mainWindowChanged();
    }
    return result;
  }
};

// What the GUI holds: the controller of each window and the window itself.
struct Windows {
  ILoginController* loginController = nullptr;
  ILoginView* loginView = nullptr;
  IMainController* mainController = nullptr;
  MainView* mainView = nullptr;
  std::vector<std::string> script;
  bool stateActionDone = false;
};
Windows& windows() {
  static Windows held;
  return held;
}

std::vector<std::string> action(const char* name) {
  for (const std::string& entry : windows().script) {
    std::vector<std::string> parts = split(entry, ':');
    if (!parts.empty() && parts[0] == name) return parts;
  }
  return {};
}

void closeLoginWindow();
void closeMainWindow();
void mainWindowChanged();

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Steps that act on a running connection.
bool needsConnection(const std::string& step) { return startsWith(step, "rates-") || step == "disconnect"; }

// getRates left more times, a second apart; then the next step.
void readRates(int left) {
  Windows& held = windows();
  if (!held.mainController || !held.mainView) return;
  UINT64 inTotal = 0, inRate = 0, outTotal = 0, outRate = 0;
  HRESULT result = held.mainController->getRates(&inTotal, &inRate, &outTotal, &outRate);
  record("GUI: rates " + std::to_string(result) + " in " + std::to_string(inTotal) + " " + std::to_string(inRate) +
         " out " + std::to_string(outTotal) + " " + std::to_string(outRate));
  if (left > 1) {
    later(1000, [left] { readRates(left - 1); });
    return;
  }
  held.mainView->stepScheduled = false;
  mainWindowChanged();
}

void runMainStep(const std::string& step) {
  Windows& held = windows();
  if (!held.mainController || !held.mainView) return;
  MainView* view = held.mainView;
  IMainController* controller = held.mainController;
  view->stepScheduled = false;
  HRESULT result = S_OK;
  std::string command;
  if (step.compare(0, 7, "choose-") == 0) {
    UINT index = static_cast<UINT>(std::stoul(step.substr(7)));
    view->hasServers = false;
    command = "chooseAccount";
    record("GUI: chooseAccount " + std::to_string(index));
    result = controller->chooseAccount(index);
  } else if (step == "logout") {
    view->loggingOut = true;
    command = "logout";
    record("GUI: logout");
    result = controller->logout();
  } else if (startsWith(step, "connect-")) {
    std::vector<std::string> parts = split(step, '-');
    if (parts.size() != 4 || !view->gameList) {
      error("bad connect step " + step);
      return;
    }
    UINT game = static_cast<UINT>(std::stoul(parts[1]));
    UINT server = static_cast<UINT>(std::stoul(parts[2]));
    BOOL udp = parts[3] == "1" ? TRUE : FALSE;
    int gameId = 0;
    BSTR gameName = nullptr;
    if (FAILED(view->gameList->id(game, &gameId)) || FAILED(view->gameList->name(game, &gameName))) {
      error("no game " + parts[1]);
      return;
    }
    command = "connect";
    record("GUI: connect" + guicall::flag(udp) + guicall::number(gameId) + guicall::text(gameName) +
           guicall::number(server));
    result = controller->connect(udp, gameId, gameName, server);
    SysFreeString(gameName);
  } else if (startsWith(step, "rates-")) {
    view->stepScheduled = true;
    readRates(std::stoi(step.substr(6)));
    return;
  } else if (step == "disconnect") {
    command = "disconnect";
    record("GUI: disconnect");
    result = controller->disconnect();
  } else {
    error("unknown main step " + step);
    return;
  }
  record("GUI: " + command + " returned " + std::to_string(result));
}

void mainWindowChanged() {
  MainView* view = windows().mainView;
  if (!view || view->stepScheduled || view->loggingOut || view->operationRunning) return;
  std::vector<std::string> steps = action("main-steps");
  if (view->nextStep >= steps.size()) return;
  const std::string& next = steps[view->nextStep];
  bool ready = needsConnection(next) ? view->showsConnection
                                     : view->hasGames && view->hasServers && view->choosable;
  if (!ready) return;
  std::string step = steps[view->nextStep++];
  view->stepScheduled = true;
  later(0, [step] { runMainStep(step); });
}

HRESULT MainViewHooks::handOutProgress(IUnknown* operation, IOperationProgress** progress) {
  if (windows().mainView) windows().mainView->operationRunning = true;
  return beginProgress(operation, progress, true);
}

void mainOperationEnded() {
  MainView* view = windows().mainView;
  if (!view) return;
  view->operationRunning = false;
  mainWindowChanged();
}

void closeLoginWindowWhenFileExists(std::string path) {
  if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    closeLoginWindow();
    return;
  }
  later(100, [path] { closeLoginWindowWhenFileExists(path); });
}

class LoginViewHooks : public GuiObject<ILoginView> {
 public:
  LoginViewHooks() : GuiObject("ILoginView") {}
  void connStateShown(int state) {
    state_ = state;
    if (windows().stateActionDone) return;
    std::vector<std::string> detach = action("detach-on-state");
    if (detach.size() == 2 && std::to_string(state) == detach[1]) {
      windows().stateActionDone = true;
      later(0, &closeLoginWindow);
      return;
    }
    loginIfReady();
  }
  void updateCheckingShown(BOOL checking) {
    updateChecking_ = checking != FALSE;
    if (!windows().stateActionDone) loginIfReady();
  }
  HRESULT handOutProgress(IUnknown* updateOperation, IOperationProgress** progress) {
    return beginProgress(updateOperation, progress);
  }
  void answerUpdate(BOOL* yes) {
    if (*yes != FALSE) error("askUpdate answer not preset to FALSE");
    std::vector<std::string> answer = action("answer-update");
    if (answer.size() == 2 && answer[1] == "yes") *yes = TRUE;
  }
  HRESULT handOutMainView(IUnknown* mainController, IMainView** view) {
    if (failing("ILoginView::loggedIn", "null")) return S_OK;
    Windows& held = windows();
    void* controller = nullptr;
    if (!mainController || FAILED(mainController->QueryInterface(__uuidof(IMainController), &controller))) {
      error("main controller lacks IMainController");
      return E_FAIL;
    }
    if (held.mainController) held.mainController->Release();
    held.mainController = static_cast<IMainController*>(controller);
    if (held.mainView) held.mainView->Release();
    held.mainView = new MainView();
    held.mainView->AddRef();
    *view = held.mainView;
    // The GUI closes the login window when it opens the main one.
    if (!action("main-steps").empty()) later(0, &closeLoginWindow);
    if (!action("leave-after-login").empty()) {
      later(0, [] {
        closeLoginWindow();
        closeMainWindow();
      });
    }
    return S_OK;
  }

 private:
  void loginIfReady() {
    std::vector<std::string> login = action("login-on-state");
    if (login.size() != 5 || std::to_string(state_) != login[1] || updateChecking_) return;
    windows().stateActionDone = true;
    later(0, [login] {
      ILoginController* controller = windows().loginController;
      if (!controller) return;
      BSTR user = SysAllocString(std::wstring(login[2].begin(), login[2].end()).c_str());
      BSTR password = SysAllocString(std::wstring(login[3].begin(), login[3].end()).c_str());
      record("GUI: login");
      HRESULT result = controller->login(user, password, login[4] == "1" ? TRUE : FALSE);
      record("GUI: login returned " + std::to_string(result));
      SysFreeString(user);
      SysFreeString(password);
    });
  }

  int state_ = -1;
  bool updateChecking_ = false;
};
using LoginView = RecordingLoginView<LoginViewHooks>;

HRESULT showLoginWindow(IUnknown* loginController, ILoginView** view) {
  Windows& held = windows();
  void* controller = nullptr;
  if (!loginController || FAILED(loginController->QueryInterface(__uuidof(ILoginController), &controller))) {
    error("login controller lacks ILoginController");
    return E_FAIL;
  }
  if (held.loginController) held.loginController->Release();
  held.loginController = static_cast<ILoginController*>(controller);
  if (held.loginView) held.loginView->Release();
  held.loginView = new LoginView();
  held.loginView->AddRef();
  *view = held.loginView;
  held.stateActionDone = false;
  return S_OK;
}

HRESULT MainViewHooks::handOutLoginView(IUnknown* loginController, ILoginView** view) {
  HRESULT shown = showLoginWindow(loginController, view);
  if (!action("leave-after-logout").empty()) {
    windows().stateActionDone = true;
    later(0, [] {
      closeLoginWindow();
      closeMainWindow();
    });
  }
  return shown;
}

void closeLoginWindow() {
  Windows& held = windows();
  if (!held.loginController) return;
  ILoginController* controller = held.loginController;
  held.loginController = nullptr;
  record("GUI: detach login controller");
  HRESULT result = controller->detach();
  if (result != S_OK) error("ILoginController::detach returned " + std::to_string(result));
  controller->Release();
  if (held.loginView) held.loginView->Release();
  held.loginView = nullptr;
}

void closeMainWindow() {
  Windows& held = windows();
  if (!held.mainController) return;
  IMainController* controller = held.mainController;
  held.mainController = nullptr;
  record("GUI: detach main controller");
  HRESULT result = controller->detach();
  if (result != S_OK) error("IMainController::detach returned " + std::to_string(result));
  controller->Release();
  if (held.mainView) {
    if (held.mainView->gameList) held.mainView->gameList->Release();
    held.mainView->gameList = nullptr;
    held.mainView->Release();
  }
  held.mainView = nullptr;
}

class EntryHooks : public GuiObject<IGuiEntry> {
 public:
  EntryHooks() : GuiObject("IGuiEntry") {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    record("IGuiEntry::QueryInterface " + standin::guidText(iid));
    *out = nullptr;
    bool entry = iid == __uuidof(IGuiEntry) && !failing("QueryGuiEntry");
    if (iid != __uuidof(IUnknown) && !entry) return E_NOINTERFACE;
    counted_.addRef();
    *out = this;
    return S_OK;
  }

  HRESULT handOutLoginView(IUnknown* loginController, ILoginView** view) {
    if (failing("IGuiEntry::showLogin", "null")) return S_OK;
    windows().script = split(standin::setting("ZAV_STANDIN_GUI"), ',');
    HRESULT shown = showLoginWindow(loginController, view);
    std::vector<std::string> detach = action("detach-after");
    if (detach.size() == 2) later(static_cast<UINT>(std::stoul(detach[1])), &closeLoginWindow);
    // The path may hold a drive letter: everything after the action's name.
    for (const std::string& entry : windows().script) {
      const std::string name = "detach-when-file:";
      if (entry.compare(0, name.size(), name) == 0) closeLoginWindowWhenFileExists(entry.substr(name.size()));
    }
    return shown;
  }
};
using GuiEntry = RecordingGuiEntry<EntryHooks>;
}  // namespace

namespace standin {
IUnknown* createGuiEntry() { return new GuiEntry(); }
}  // namespace standin
