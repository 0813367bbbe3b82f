#pragma once

// The COM boundary between the client and the managed GUI. Every method's slot
// order is fixed by the GUI assembly: never reorder, insert or drop a method,
// and keep STDMETHODCALLTYPE on each (stdcall on the 32-bit client).

#include <windows.h>
#include <oaidl.h>
#include <unknwn.h>

struct ILoginView;
struct IMainView;
struct IOperationProgress;

// ---- Native interfaces, implemented by the client ----

struct ILoginController : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE clearSavedLogin() = 0;
  virtual HRESULT STDMETHODCALLTYPE detach() = 0;
  virtual HRESULT STDMETHODCALLTYPE login(BSTR user, BSTR password, BOOL remember) = 0;
};

struct IMainController : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE logout() = 0;
  virtual HRESULT STDMETHODCALLTYPE detach() = 0;
  virtual HRESULT STDMETHODCALLTYPE connect(BOOL udp, int gameId, BSTR gameName, UINT serverIndex) = 0;
  virtual HRESULT STDMETHODCALLTYPE disconnect() = 0;
  virtual HRESULT STDMETHODCALLTYPE repair(UINT group) = 0;
  virtual HRESULT STDMETHODCALLTYPE chooseAccount(UINT index) = 0;
  virtual HRESULT STDMETHODCALLTYPE getRates(UINT64* inTotal, UINT64* inRate, UINT64* outTotal,
                                             UINT64* outRate) = 0;
};

struct IAccountInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE userName(BSTR* out) = 0;
  virtual HRESULT STDMETHODCALLTYPE status(int* out) = 0;
  virtual HRESULT STDMETHODCALLTYPE statusText(BSTR* out) = 0;
  virtual HRESULT STDMETHODCALLTYPE productName(BSTR* out) = 0;
  virtual HRESULT STDMETHODCALLTYPE policy(int* out) = 0;
  virtual HRESULT STDMETHODCALLTYPE policyText(BSTR* out) = 0;
  virtual HRESULT STDMETHODCALLTYPE expireDate(BSTR* out) = 0;
  virtual HRESULT STDMETHODCALLTYPE balance(int* out) = 0;
  virtual HRESULT STDMETHODCALLTYPE timeLength(int* out) = 0;
  virtual HRESULT STDMETHODCALLTYPE flowLength(int* out) = 0;
};

struct IServerList : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE count(int* out) = 0;
  virtual HRESULT STDMETHODCALLTYPE preferredName(BSTR* out) = 0;
  virtual HRESULT STDMETHODCALLTYPE name(UINT index, BSTR* out) = 0;
};

struct IGameList : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE count(int* out) = 0;
  virtual HRESULT STDMETHODCALLTYPE preferredName(BSTR* out) = 0;
  virtual HRESULT STDMETHODCALLTYPE name(UINT index, BSTR* out) = 0;
  virtual HRESULT STDMETHODCALLTYPE id(UINT index, int* out) = 0;
  virtual HRESULT STDMETHODCALLTYPE desc(UINT index, BSTR* out) = 0;
};

// Connect, network repair and update download all answer this one interface.
struct IOperation : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE cancel() = 0;
};

// ---- GUI-side interfaces, implemented by the managed GUI ----

struct IOperationProgress : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE showStatus(int id) = 0;
  virtual HRESULT STDMETHODCALLTYPE setDeterminate(BOOL determinate) = 0;
  virtual HRESULT STDMETHODCALLTYPE setProgress(float fraction) = 0;
  // The caller sets *yes to FALSE first, so an answer left unset means no.
  virtual HRESULT STDMETHODCALLTYPE ask(int id, BOOL* yes) = 0;
  virtual HRESULT STDMETHODCALLTYPE endSuccess(int id) = 0;
  virtual HRESULT STDMETHODCALLTYPE endError(int code) = 0;
};

struct IMainView : public IUnknown {
  // Holds the first slot of the GUI's table; the client never calls it.
  virtual HRESULT STDMETHODCALLTYPE reserved() = 0;
  // names: a one-dimensional SAFEARRAY of BSTR, valid for the call only.
  virtual HRESULT STDMETHODCALLTYPE showAccounts(SAFEARRAY* names, int preferredIndex) = 0;
  virtual HRESULT STDMETHODCALLTYPE showAccountInfo(IUnknown* accountInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE showGames(IUnknown* games) = 0;
  virtual HRESULT STDMETHODCALLTYPE showServers(IUnknown* servers) = 0;
  virtual HRESULT STDMETHODCALLTYPE showModePref(BOOL udp) = 0;
  // milliseconds is -1 when the probe failed.
  virtual HRESULT STDMETHODCALLTYPE showServerLatency(UINT serverIndex, int milliseconds) = 0;
  virtual HRESULT STDMETHODCALLTYPE beginOperation(IUnknown* operation, IOperationProgress** progress) = 0;
  virtual HRESULT STDMETHODCALLTYPE connectEnded() = 0;
  virtual HRESULT STDMETHODCALLTYPE backendLost() = 0;
  virtual HRESULT STDMETHODCALLTYPE showError(int code) = 0;
  virtual HRESULT STDMETHODCALLTYPE backToLogin(IUnknown* loginController, ILoginView** view) = 0;
  virtual HRESULT STDMETHODCALLTYPE connected() = 0;
  virtual HRESULT STDMETHODCALLTYPE disconnected() = 0;
  virtual HRESULT STDMETHODCALLTYPE enableIdleControls(BOOL enable) = 0;
  virtual HRESULT STDMETHODCALLTYPE setConnected(BOOL isConnected) = 0;
  virtual HRESULT STDMETHODCALLTYPE enableRepair(BOOL enable) = 0;
  virtual HRESULT STDMETHODCALLTYPE enableConnectChoice(BOOL enable) = 0;
  // Always called with the same value as enableIdleControls.
  virtual HRESULT STDMETHODCALLTYPE enableIdleControls2(BOOL enable) = 0;
};

struct ILoginView : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE showSavedLogin(BSTR user, BSTR password) = 0;
  virtual HRESULT STDMETHODCALLTYPE showConnState(int state) = 0;
  virtual HRESULT STDMETHODCALLTYPE setUpdateChecking(BOOL checking) = 0;
  virtual HRESULT STDMETHODCALLTYPE setLoginBusy(BOOL busy) = 0;
  virtual HRESULT STDMETHODCALLTYPE beginUpdate(IUnknown* updateOperation, IOperationProgress** progress) = 0;
  virtual HRESULT STDMETHODCALLTYPE updateEnded() = 0;
  virtual HRESULT STDMETHODCALLTYPE showError(int code) = 0;
  // The caller sets *yes to FALSE first.
  virtual HRESULT STDMETHODCALLTYPE askUpdate(BOOL* yes) = 0;
  virtual HRESULT STDMETHODCALLTYPE loggedIn(IUnknown* mainController, IMainView** view) = 0;
};

// The GUI's entry object; only its first method is ever called.
struct IGuiEntry : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE showLogin(IUnknown* loginController, ILoginView** view) = 0;
};

__CRT_UUID_DECL(ILoginController, 0xFDFF1275, 0x8A56, 0x474F, 0xBB, 0xD9, 0x25, 0x40, 0x98, 0x20, 0x19, 0x1A)
__CRT_UUID_DECL(IMainController, 0xA7898B5D, 0xABDC, 0x49B4, 0x87, 0x88, 0x32, 0x4E, 0xE5, 0x3F, 0x4A, 0x60)
__CRT_UUID_DECL(IAccountInfo, 0x75D1C878, 0x3389, 0x4F8A, 0x8C, 0x6F, 0x93, 0x03, 0x5E, 0x87, 0x3E, 0x9C)
__CRT_UUID_DECL(IServerList, 0x4E0FA044, 0xFDB0, 0x4620, 0x9F, 0x89, 0x88, 0xE1, 0x7C, 0xB0, 0x81, 0xFF)
__CRT_UUID_DECL(IGameList, 0x382C8A0C, 0x39C7, 0x4CA7, 0x8A, 0x8E, 0x83, 0xEE, 0x97, 0x0E, 0x64, 0x71)
__CRT_UUID_DECL(IOperation, 0x11CFEEF8, 0xD809, 0x464F, 0xA3, 0x4B, 0xA2, 0xEF, 0x8A, 0x2B, 0xDE, 0x1C)
__CRT_UUID_DECL(IGuiEntry, 0x6DFB667F, 0x9BC9, 0x4FF9, 0x97, 0xF9, 0xA9, 0xC7, 0x4A, 0xDE, 0xB5, 0x38)
// The GUI's own callback interfaces: the client never queries for them, these
// are the identifiers both sides agree on.
__CRT_UUID_DECL(ILoginView, 0xD1730792, 0x1BAD, 0x4EC1, 0x9F, 0x07, 0x69, 0xDF, 0x98, 0x29, 0x2D, 0xD9)
__CRT_UUID_DECL(IMainView, 0xB3BA2400, 0x5ED8, 0x4ADD, 0x92, 0x54, 0xB0, 0xDD, 0x7A, 0xF1, 0x6B, 0xCE)
__CRT_UUID_DECL(IOperationProgress, 0x628FB649, 0xEFAF, 0x4DA2, 0xA7, 0x3B, 0x76, 0xCD, 0xA4, 0x28, 0x64, 0x0B)
