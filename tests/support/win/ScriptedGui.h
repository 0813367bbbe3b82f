#pragma once

// An in-process GUI for the controller tests, over the shared recording
// objects (tests/support/win/RecordingGui.h): every view call is recorded in
// order, and a test can act inside any call (as a GUI that pumps messages
// would), make one call fail, or leave a window.

#include <windows.h>
#include <wrl/client.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bridge/win/GuiInterfaces.h"

class ScriptedGui {
 public:
  ScriptedGui();
  ~ScriptedGui();
  ScriptedGui(const ScriptedGui&) = delete;
  ScriptedGui& operator=(const ScriptedGui&) = delete;

  // The entry object handed to the dispatcher (one reference for it).
  IGuiEntry* newEntry();
  // A login view as the GUI would return it, and the controller it belongs to.
  ILoginView* newLoginView();
  // A main view as loggedIn would return it (one reference for the caller).
  IMainView* newMainView();

  // Calls in order, e.g. "ILoginView::showConnState 4",
  // "ILoginView::showSavedLogin \"u\" \"p\"".
  std::vector<std::string> calls;
  // Run once, inside the call, after it is recorded: keyed by the whole
  // call text ("ILoginView::showConnState 4") or by the method alone
  // ("ILoginView::showConnState").
  std::map<std::string, std::function<void()>> during;
  // Told of every call after it is recorded (and after its during action).
  std::function<void(const std::string& call)> observer;
  // The call that fails: failing is a method ("ILoginView::setLoginBusy"),
  // failingCall counts its calls from 1. It returns E_FAIL, or with
  // "method:null" (for the methods that hand out an interface) S_OK without
  // one.
  std::string failing;
  int failingCall = 1;
  BOOL updateAnswer = FALSE;
  BOOL retryAnswer = FALSE;
  // IOperationProgress::ask answers by question id; an id not here gets
  // retryAnswer.
  std::map<int, BOOL> askAnswers;

  // What the GUI holds, as its windows would.
  Microsoft::WRL::ComPtr<ILoginController> loginController;
  Microsoft::WRL::ComPtr<IMainController> mainController;
  // The main window's last shown account details, servers and games.
  Microsoft::WRL::ComPtr<IUnknown> accountInfo;
  Microsoft::WRL::ComPtr<IUnknown> servers;
  Microsoft::WRL::ComPtr<IUnknown> games;
  // The last operation the main window was given (to cancel it).
  Microsoft::WRL::ComPtr<IUnknown> operation;
  void releaseShown();
  // Closing a window: detach its controller and let go of it.
  void closeLogin();
  void closeMain();

  // A user who logs in with "user" and "secret" (not remembered) once the
  // login window shows the channel connected and the update check over, and
  // a GUI that closes the login window once the main window is in use. The
  // test's observer hands it every call; later runs an action in a task of
  // its own on the main thread.
  void logInWhenReady(const std::string& call, const std::function<void(std::function<void()>)>& later);

  // GUI objects still referenced by the client.
  int liveObjects() const { return live_; }

  // Recording one call text (a method and its arguments after spaces);
  // returns the call's result.
  HRESULT note(const std::string& call);
  // Whether this call of method is to succeed without its interface.
  bool handsOutNull(const std::string& method);
  void changeLive(int delta) { live_ += delta; }

 private:
  bool isFailingCall(const std::string& name);
  int live_ = 0;
  std::map<std::string, int> counts_;
  bool channelShown_ = false;
  bool updateChecked_ = false;
  bool loginSent_ = false;
  bool mainShown_ = false;
};
