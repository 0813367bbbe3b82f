#pragma once

// The GUI's entry, views and progress for every test that stands in for the
// GUI, written once. Each method becomes one call text, "Interface::method"
// and each argument after a space ("ILoginView::showConnState 4",
// "ILoginView::showSavedLogin \"user\" \"secret\"",
// "IOperationProgress::setProgress 0.500000"), handed to the stand-in's
// call(), whose result the method returns. A call that fails hands nothing
// out and answers no; otherwise what the method hands out or answers comes
// from the stand-in's hooks, asked after the call.
//
// A stand-in gives each template a Base that derives from the interface,
// counts references and has HRESULT call(const std::string& text) plus the
// hooks named at the template. Header-only: the stand-in hosting DLL builds it
// without the test library.
#include <windows.h>
#include <oleauto.h>

#include <string>

#include "bridge/win/GuiInterfaces.h"

namespace guicall {

inline std::string flag(BOOL value) { return value ? " 1" : " 0"; }
inline std::string number(long long value) { return " " + std::to_string(value); }

// A null BSTR is the empty text, as the managed side reads it.
inline std::string text(BSTR value) {
  std::string out;
  int length = value ? static_cast<int>(SysStringLen(value)) : 0;
  if (length > 0) {
    int size = WideCharToMultiByte(CP_UTF8, 0, value, length, nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<size_t>(size));
    WideCharToMultiByte(CP_UTF8, 0, value, length, &out[0], size, nullptr, nullptr);
  }
  return " \"" + out + "\"";
}

inline std::string texts(SAFEARRAY* names) {
  std::string list;
  LONG low = 0, high = -1;
  if (!names || FAILED(SafeArrayGetLBound(names, 1, &low)) || FAILED(SafeArrayGetUBound(names, 1, &high))) return list;
  for (LONG i = low; i <= high; ++i) {
    BSTR name = nullptr;
    if (SUCCEEDED(SafeArrayGetElement(names, &i, &name))) {
      // Recorded apart from an empty text: the client sends null elements.
      list += name ? text(name) : " null";
      SysFreeString(name);
    }
  }
  return list;
}

}  // namespace guicall

// Hooks: void progressSet(float), BOOL answerAsk(int id), void progressEnded().
template <class Base>
class RecordingProgress : public Base {
 public:
  using Base::Base;
  HRESULT STDMETHODCALLTYPE showStatus(int id) override {
    return this->call("IOperationProgress::showStatus" + guicall::number(id));
  }
  HRESULT STDMETHODCALLTYPE setDeterminate(BOOL determinate) override {
    return this->call("IOperationProgress::setDeterminate" + guicall::flag(determinate));
  }
  HRESULT STDMETHODCALLTYPE setProgress(float fraction) override {
    HRESULT result = this->call("IOperationProgress::setProgress " + std::to_string(fraction));
    if (SUCCEEDED(result)) this->progressSet(fraction);
    return result;
  }
  HRESULT STDMETHODCALLTYPE ask(int id, BOOL* yes) override {
    HRESULT result = this->call("IOperationProgress::ask" + guicall::number(id));
    *yes = SUCCEEDED(result) && this->answerAsk(id) ? TRUE : FALSE;
    return result;
  }
  HRESULT STDMETHODCALLTYPE endSuccess(int id) override {
    return ended(this->call("IOperationProgress::endSuccess" + guicall::number(id)));
  }
  HRESULT STDMETHODCALLTYPE endError(int code) override {
    return ended(this->call("IOperationProgress::endError" + guicall::number(code)));
  }

 private:
  HRESULT ended(HRESULT result) {
    if (SUCCEEDED(result)) this->progressEnded();
    return result;
  }
};

// Hooks: HRESULT reservedSlot() (the slot no client calls),
// HRESULT handOutProgress(IUnknown* operation, IOperationProgress**),
// HRESULT handOutLoginView(IUnknown* loginController, ILoginView**).
template <class Base>
class RecordingMainView : public Base {
 public:
  using Base::Base;
  HRESULT STDMETHODCALLTYPE reserved() override { return this->reservedSlot(); }
  HRESULT STDMETHODCALLTYPE showAccounts(SAFEARRAY* names, int preferredIndex) override {
    return this->call("IMainView::showAccounts" + guicall::texts(names) + guicall::number(preferredIndex));
  }
  HRESULT STDMETHODCALLTYPE showAccountInfo(IUnknown*) override { return this->call("IMainView::showAccountInfo"); }
  HRESULT STDMETHODCALLTYPE showGames(IUnknown*) override { return this->call("IMainView::showGames"); }
  HRESULT STDMETHODCALLTYPE showServers(IUnknown*) override { return this->call("IMainView::showServers"); }
  HRESULT STDMETHODCALLTYPE showModePref(BOOL udp) override {
    return this->call("IMainView::showModePref" + guicall::flag(udp));
  }
  HRESULT STDMETHODCALLTYPE showServerLatency(UINT serverIndex, int milliseconds) override {
    return this->call("IMainView::showServerLatency" + guicall::number(serverIndex) + guicall::number(milliseconds));
  }
  HRESULT STDMETHODCALLTYPE beginOperation(IUnknown* operation, IOperationProgress** progress) override {
    *progress = nullptr;
    HRESULT result = this->call("IMainView::beginOperation");
    return FAILED(result) ? result : this->handOutProgress(operation, progress);
  }
  HRESULT STDMETHODCALLTYPE connectEnded() override { return this->call("IMainView::connectEnded"); }
  HRESULT STDMETHODCALLTYPE backendLost() override { return this->call("IMainView::backendLost"); }
  HRESULT STDMETHODCALLTYPE showError(int code) override {
    return this->call("IMainView::showError" + guicall::number(code));
  }
  HRESULT STDMETHODCALLTYPE backToLogin(IUnknown* loginController, ILoginView** view) override {
    *view = nullptr;
    HRESULT result = this->call("IMainView::backToLogin");
    return FAILED(result) ? result : this->handOutLoginView(loginController, view);
  }
  HRESULT STDMETHODCALLTYPE connected() override { return this->call("IMainView::connected"); }
  HRESULT STDMETHODCALLTYPE disconnected() override { return this->call("IMainView::disconnected"); }
  HRESULT STDMETHODCALLTYPE enableIdleControls(BOOL enable) override {
    return this->call("IMainView::enableIdleControls" + guicall::flag(enable));
  }
  HRESULT STDMETHODCALLTYPE setConnected(BOOL isConnected) override {
    return this->call("IMainView::setConnected" + guicall::flag(isConnected));
  }
  HRESULT STDMETHODCALLTYPE enableRepair(BOOL enable) override {
    return this->call("IMainView::enableRepair" + guicall::flag(enable));
  }
  HRESULT STDMETHODCALLTYPE enableConnectChoice(BOOL enable) override {
    return this->call("IMainView::enableConnectChoice" + guicall::flag(enable));
  }
  HRESULT STDMETHODCALLTYPE enableIdleControls2(BOOL enable) override {
    return this->call("IMainView::enableIdleControls2" + guicall::flag(enable));
  }
};

// Hooks: void connStateShown(int state), void updateCheckingShown(BOOL
// checking), void answerUpdate(BOOL* yes) (the
// client presets FALSE), HRESULT handOutProgress(IUnknown* operation,
// IOperationProgress**), HRESULT handOutMainView(IUnknown* mainController,
// IMainView**).
template <class Base>
class RecordingLoginView : public Base {
 public:
  using Base::Base;
  HRESULT STDMETHODCALLTYPE showSavedLogin(BSTR user, BSTR password) override {
    return this->call("ILoginView::showSavedLogin" + guicall::text(user) + guicall::text(password));
  }
  HRESULT STDMETHODCALLTYPE showConnState(int state) override {
    HRESULT result = this->call("ILoginView::showConnState" + guicall::number(state));
    if (SUCCEEDED(result)) this->connStateShown(state);
    return result;
  }
  HRESULT STDMETHODCALLTYPE setUpdateChecking(BOOL checking) override {
    HRESULT result = this->call("ILoginView::setUpdateChecking" + guicall::flag(checking));
    if (SUCCEEDED(result)) this->updateCheckingShown(checking);
    return result;
  }
  HRESULT STDMETHODCALLTYPE setLoginBusy(BOOL busy) override {
    return this->call("ILoginView::setLoginBusy" + guicall::flag(busy));
  }
  HRESULT STDMETHODCALLTYPE beginUpdate(IUnknown* operation, IOperationProgress** progress) override {
    *progress = nullptr;
    HRESULT result = this->call("ILoginView::beginUpdate");
    return FAILED(result) ? result : this->handOutProgress(operation, progress);
  }
  HRESULT STDMETHODCALLTYPE updateEnded() override { return this->call("ILoginView::updateEnded"); }
  HRESULT STDMETHODCALLTYPE showError(int code) override {
    return this->call("ILoginView::showError" + guicall::number(code));
  }
  HRESULT STDMETHODCALLTYPE askUpdate(BOOL* yes) override {
    HRESULT result = this->call("ILoginView::askUpdate");
    if (SUCCEEDED(result)) this->answerUpdate(yes);
    return result;
  }
  HRESULT STDMETHODCALLTYPE loggedIn(IUnknown* mainController, IMainView** view) override {
    *view = nullptr;
    HRESULT result = this->call("ILoginView::loggedIn");
    return FAILED(result) ? result : this->handOutMainView(mainController, view);
  }
};

// Hooks: HRESULT handOutLoginView(IUnknown* loginController, ILoginView**).
template <class Base>
class RecordingGuiEntry : public Base {
 public:
  using Base::Base;
  HRESULT STDMETHODCALLTYPE showLogin(IUnknown* loginController, ILoginView** view) override {
    *view = nullptr;
    HRESULT result = this->call("IGuiEntry::showLogin");
    return FAILED(result) ? result : this->handOutLoginView(loginController, view);
  }
};
