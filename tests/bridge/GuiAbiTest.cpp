// The ABI contract of the GUI boundary: a C caller reaches every slot of every
// interface by index, as the managed GUI does. The slot order and argument
// types are checked at run time here; the calling convention and exact
// signatures at compile time (the i686 build, where stdcall is part of the type).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "bridge/win/GuiInterfaces.h"
#include "core/Text.h"
#include "core/win/System.h"
#include "tests/bridge/GuiAbiCaller.h"

#define ABI_SIGNATURE(Interface, method, arguments)                                                         \
  static_assert(std::is_same<decltype(&Interface::method), HRESULT(STDMETHODCALLTYPE Interface::*) arguments>::value, \
                #Interface "::" #method " signature or calling convention")

ABI_SIGNATURE(ILoginController, clearSavedLogin, ());
ABI_SIGNATURE(ILoginController, detach, ());
ABI_SIGNATURE(ILoginController, login, (BSTR, BSTR, BOOL));
ABI_SIGNATURE(IMainController, logout, ());
ABI_SIGNATURE(IMainController, detach, ());
ABI_SIGNATURE(IMainController, connect, (BOOL, int, BSTR, UINT));
ABI_SIGNATURE(IMainController, disconnect, ());
ABI_SIGNATURE(IMainController, repair, (UINT));
ABI_SIGNATURE(IMainController, chooseAccount, (UINT));
ABI_SIGNATURE(IMainController, getRates, (UINT64*, UINT64*, UINT64*, UINT64*));
ABI_SIGNATURE(IAccountInfo, userName, (BSTR*));
ABI_SIGNATURE(IAccountInfo, status, (int*));
ABI_SIGNATURE(IAccountInfo, statusText, (BSTR*));
ABI_SIGNATURE(IAccountInfo, productName, (BSTR*));
ABI_SIGNATURE(IAccountInfo, policy, (int*));
ABI_SIGNATURE(IAccountInfo, policyText, (BSTR*));
ABI_SIGNATURE(IAccountInfo, expireDate, (BSTR*));
ABI_SIGNATURE(IAccountInfo, balance, (int*));
ABI_SIGNATURE(IAccountInfo, timeLength, (int*));
ABI_SIGNATURE(IAccountInfo, flowLength, (int*));
ABI_SIGNATURE(IServerList, count, (int*));
ABI_SIGNATURE(IServerList, preferredName, (BSTR*));
ABI_SIGNATURE(IServerList, name, (UINT, BSTR*));
ABI_SIGNATURE(IGameList, count, (int*));
ABI_SIGNATURE(IGameList, preferredName, (BSTR*));
ABI_SIGNATURE(IGameList, name, (UINT, BSTR*));
ABI_SIGNATURE(IGameList, id, (UINT, int*));
ABI_SIGNATURE(IGameList, desc, (UINT, BSTR*));
ABI_SIGNATURE(IOperation, cancel, ());
ABI_SIGNATURE(IGuiEntry, showLogin, (IUnknown*, ILoginView**));
ABI_SIGNATURE(ILoginView, showSavedLogin, (BSTR, BSTR));
ABI_SIGNATURE(ILoginView, showConnState, (int));
ABI_SIGNATURE(ILoginView, setUpdateChecking, (BOOL));
ABI_SIGNATURE(ILoginView, setLoginBusy, (BOOL));
ABI_SIGNATURE(ILoginView, beginUpdate, (IUnknown*, IOperationProgress**));
ABI_SIGNATURE(ILoginView, updateEnded, ());
ABI_SIGNATURE(ILoginView, showError, (int));
ABI_SIGNATURE(ILoginView, askUpdate, (BOOL*));
ABI_SIGNATURE(ILoginView, loggedIn, (IUnknown*, IMainView**));
ABI_SIGNATURE(IMainView, reserved, ());
ABI_SIGNATURE(IMainView, showAccounts, (SAFEARRAY*, int));
ABI_SIGNATURE(IMainView, showAccountInfo, (IUnknown*));
ABI_SIGNATURE(IMainView, showGames, (IUnknown*));
ABI_SIGNATURE(IMainView, showServers, (IUnknown*));
ABI_SIGNATURE(IMainView, showModePref, (BOOL));
ABI_SIGNATURE(IMainView, showServerLatency, (UINT, int));
ABI_SIGNATURE(IMainView, beginOperation, (IUnknown*, IOperationProgress**));
ABI_SIGNATURE(IMainView, connectEnded, ());
ABI_SIGNATURE(IMainView, backendLost, ());
ABI_SIGNATURE(IMainView, showError, (int));
ABI_SIGNATURE(IMainView, backToLogin, (IUnknown*, ILoginView**));
ABI_SIGNATURE(IMainView, connected, ());
ABI_SIGNATURE(IMainView, disconnected, ());
ABI_SIGNATURE(IMainView, enableIdleControls, (BOOL));
ABI_SIGNATURE(IMainView, setConnected, (BOOL));
ABI_SIGNATURE(IMainView, enableRepair, (BOOL));
ABI_SIGNATURE(IMainView, enableConnectChoice, (BOOL));
ABI_SIGNATURE(IMainView, enableIdleControls2, (BOOL));
ABI_SIGNATURE(IOperationProgress, showStatus, (int));
ABI_SIGNATURE(IOperationProgress, setDeterminate, (BOOL));
ABI_SIGNATURE(IOperationProgress, setProgress, (float));
ABI_SIGNATURE(IOperationProgress, ask, (int, BOOL*));
ABI_SIGNATURE(IOperationProgress, endSuccess, (int));
ABI_SIGNATURE(IOperationProgress, endError, (int));

namespace {

using Calls = std::vector<std::string>;

int sentinelObject;  // the address the caller passes for every interface argument

std::string text(BSTR value) { return value ? toUtf8(fromBstr(value)) : "null"; }
std::string object(const void* value) { return value == &sentinelObject ? "obj" : "other"; }
std::string number(long long value) { return std::to_string(value); }

// Each method records its call and returns its own slot index, so the caller
// sees which slot it reached. Out values: ints 1000 + slot, texts "slot<N>",
// interface pointers 0x100 + slot.
template <class Interface>
class Recorder : public Interface {
 public:
  explicit Recorder(Calls& calls) : calls_(calls) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = this;
    return record(0, iid == __uuidof(Interface) ? "QueryInterface(own)" : "QueryInterface(other)");
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return record(1, "AddRef"); }
  ULONG STDMETHODCALLTYPE Release() override { return record(2, "Release"); }

 protected:
  HRESULT record(int slot, const std::string& call) {
    calls_.push_back(call);
    return slot;
  }
  HRESULT outInt(int slot, const std::string& call, int* out) {
    *out = 1000 + slot;
    return record(slot, call);
  }
  HRESULT outText(int slot, const std::string& call, BSTR* out) {
    *out = makeBstr(L"slot" + std::to_wstring(slot));
    return record(slot, call);
  }
  template <class Out>
  HRESULT outPointer(int slot, const std::string& call, Out** out) {
    *out = reinterpret_cast<Out*>(static_cast<uintptr_t>(0x100 + slot));
    return record(slot, call);
  }

 private:
  Calls& calls_;
};

struct LoginControllerRecorder : Recorder<ILoginController> {
  using Recorder::Recorder;
  HRESULT STDMETHODCALLTYPE clearSavedLogin() override { return record(3, "clearSavedLogin"); }
  HRESULT STDMETHODCALLTYPE detach() override { return record(4, "detach"); }
  HRESULT STDMETHODCALLTYPE login(BSTR user, BSTR password, BOOL remember) override {
    return record(5, "login(" + text(user) + "," + text(password) + "," + number(remember) + ")");
  }
};

struct MainControllerRecorder : Recorder<IMainController> {
  using Recorder::Recorder;
  HRESULT STDMETHODCALLTYPE logout() override { return record(3, "logout"); }
  HRESULT STDMETHODCALLTYPE detach() override { return record(4, "detach"); }
  HRESULT STDMETHODCALLTYPE connect(BOOL udp, int gameId, BSTR gameName, UINT serverIndex) override {
    return record(5, "connect(" + number(udp) + "," + number(gameId) + "," + text(gameName) + "," +
                         number(serverIndex) + ")");
  }
  HRESULT STDMETHODCALLTYPE disconnect() override { return record(6, "disconnect"); }
  HRESULT STDMETHODCALLTYPE repair(UINT group) override { return record(7, "repair(" + number(group) + ")"); }
  HRESULT STDMETHODCALLTYPE chooseAccount(UINT index) override {
    return record(8, "chooseAccount(" + number(index) + ")");
  }
  HRESULT STDMETHODCALLTYPE getRates(UINT64* inTotal, UINT64* inRate, UINT64* outTotal, UINT64* outRate) override {
    *inTotal = 1ull << 40;
    *inRate = 2ull << 40;
    *outTotal = 3ull << 40;
    *outRate = 4ull << 40;
    return record(9, "getRates");
  }
};

struct AccountInfoRecorder : Recorder<IAccountInfo> {
  using Recorder::Recorder;
  HRESULT STDMETHODCALLTYPE userName(BSTR* out) override { return outText(3, "userName", out); }
  HRESULT STDMETHODCALLTYPE status(int* out) override { return outInt(4, "status", out); }
  HRESULT STDMETHODCALLTYPE statusText(BSTR* out) override { return outText(5, "statusText", out); }
  HRESULT STDMETHODCALLTYPE productName(BSTR* out) override { return outText(6, "productName", out); }
  HRESULT STDMETHODCALLTYPE policy(int* out) override { return outInt(7, "policy", out); }
  HRESULT STDMETHODCALLTYPE policyText(BSTR* out) override { return outText(8, "policyText", out); }
  HRESULT STDMETHODCALLTYPE expireDate(BSTR* out) override { return outText(9, "expireDate", out); }
  HRESULT STDMETHODCALLTYPE balance(int* out) override { return outInt(10, "balance", out); }
  HRESULT STDMETHODCALLTYPE timeLength(int* out) override { return outInt(11, "timeLength", out); }
  HRESULT STDMETHODCALLTYPE flowLength(int* out) override { return outInt(12, "flowLength", out); }
};

struct ServerListRecorder : Recorder<IServerList> {
  using Recorder::Recorder;
  HRESULT STDMETHODCALLTYPE count(int* out) override { return outInt(3, "count", out); }
  HRESULT STDMETHODCALLTYPE preferredName(BSTR* out) override { return outText(4, "preferredName", out); }
  HRESULT STDMETHODCALLTYPE name(UINT index, BSTR* out) override {
    return outText(5, "name(" + number(index) + ")", out);
  }
};

struct GameListRecorder : Recorder<IGameList> {
  using Recorder::Recorder;
  HRESULT STDMETHODCALLTYPE count(int* out) override { return outInt(3, "count", out); }
  HRESULT STDMETHODCALLTYPE preferredName(BSTR* out) override { return outText(4, "preferredName", out); }
  HRESULT STDMETHODCALLTYPE name(UINT index, BSTR* out) override {
    return outText(5, "name(" + number(index) + ")", out);
  }
  HRESULT STDMETHODCALLTYPE id(UINT index, int* out) override { return outInt(6, "id(" + number(index) + ")", out); }
  HRESULT STDMETHODCALLTYPE desc(UINT index, BSTR* out) override {
    return outText(7, "desc(" + number(index) + ")", out);
  }
};

struct OperationRecorder : Recorder<IOperation> {
  using Recorder::Recorder;
  HRESULT STDMETHODCALLTYPE cancel() override { return record(3, "cancel"); }
};

struct GuiEntryRecorder : Recorder<IGuiEntry> {
  using Recorder::Recorder;
  HRESULT STDMETHODCALLTYPE showLogin(IUnknown* controller, ILoginView** view) override {
    return outPointer(3, "showLogin(" + object(controller) + ")", view);
  }
};

struct LoginViewRecorder : Recorder<ILoginView> {
  using Recorder::Recorder;
  HRESULT STDMETHODCALLTYPE showSavedLogin(BSTR user, BSTR password) override {
    return record(3, "showSavedLogin(" + text(user) + "," + text(password) + ")");
  }
  HRESULT STDMETHODCALLTYPE showConnState(int state) override {
    return record(4, "showConnState(" + number(state) + ")");
  }
  HRESULT STDMETHODCALLTYPE setUpdateChecking(BOOL checking) override {
    return record(5, "setUpdateChecking(" + number(checking) + ")");
  }
  HRESULT STDMETHODCALLTYPE setLoginBusy(BOOL busy) override { return record(6, "setLoginBusy(" + number(busy) + ")"); }
  HRESULT STDMETHODCALLTYPE beginUpdate(IUnknown* operation, IOperationProgress** progress) override {
    return outPointer(7, "beginUpdate(" + object(operation) + ")", progress);
  }
  HRESULT STDMETHODCALLTYPE updateEnded() override { return record(8, "updateEnded"); }
  HRESULT STDMETHODCALLTYPE showError(int code) override { return record(9, "showError(" + number(code) + ")"); }
  HRESULT STDMETHODCALLTYPE askUpdate(BOOL* yes) override { return outInt(10, "askUpdate", yes); }
  HRESULT STDMETHODCALLTYPE loggedIn(IUnknown* controller, IMainView** view) override {
    return outPointer(11, "loggedIn(" + object(controller) + ")", view);
  }
};

struct MainViewRecorder : Recorder<IMainView> {
  using Recorder::Recorder;
  HRESULT STDMETHODCALLTYPE reserved() override { return record(3, "reserved"); }
  HRESULT STDMETHODCALLTYPE showAccounts(SAFEARRAY* names, int preferredIndex) override {
    return record(4, "showAccounts(" + object(names) + "," + number(preferredIndex) + ")");
  }
  HRESULT STDMETHODCALLTYPE showAccountInfo(IUnknown* info) override {
    return record(5, "showAccountInfo(" + object(info) + ")");
  }
  HRESULT STDMETHODCALLTYPE showGames(IUnknown* games) override { return record(6, "showGames(" + object(games) + ")"); }
  HRESULT STDMETHODCALLTYPE showServers(IUnknown* servers) override {
    return record(7, "showServers(" + object(servers) + ")");
  }
  HRESULT STDMETHODCALLTYPE showModePref(BOOL udp) override { return record(8, "showModePref(" + number(udp) + ")"); }
  HRESULT STDMETHODCALLTYPE showServerLatency(UINT index, int milliseconds) override {
    return record(9, "showServerLatency(" + number(index) + "," + number(milliseconds) + ")");
  }
  HRESULT STDMETHODCALLTYPE beginOperation(IUnknown* operation, IOperationProgress** progress) override {
    return outPointer(10, "beginOperation(" + object(operation) + ")", progress);
  }
  HRESULT STDMETHODCALLTYPE connectEnded() override { return record(11, "connectEnded"); }
  HRESULT STDMETHODCALLTYPE backendLost() override { return record(12, "backendLost"); }
  HRESULT STDMETHODCALLTYPE showError(int code) override { return record(13, "showError(" + number(code) + ")"); }
  HRESULT STDMETHODCALLTYPE backToLogin(IUnknown* controller, ILoginView** view) override {
    return outPointer(14, "backToLogin(" + object(controller) + ")", view);
  }
  HRESULT STDMETHODCALLTYPE connected() override { return record(15, "connected"); }
  HRESULT STDMETHODCALLTYPE disconnected() override { return record(16, "disconnected"); }
  HRESULT STDMETHODCALLTYPE enableIdleControls(BOOL on) override {
    return record(17, "enableIdleControls(" + number(on) + ")");
  }
  HRESULT STDMETHODCALLTYPE setConnected(BOOL on) override { return record(18, "setConnected(" + number(on) + ")"); }
  HRESULT STDMETHODCALLTYPE enableRepair(BOOL on) override { return record(19, "enableRepair(" + number(on) + ")"); }
  HRESULT STDMETHODCALLTYPE enableConnectChoice(BOOL on) override {
    return record(20, "enableConnectChoice(" + number(on) + ")");
  }
  HRESULT STDMETHODCALLTYPE enableIdleControls2(BOOL on) override {
    return record(21, "enableIdleControls2(" + number(on) + ")");
  }
};

struct OperationProgressRecorder : Recorder<IOperationProgress> {
  using Recorder::Recorder;
  HRESULT STDMETHODCALLTYPE showStatus(int id) override { return record(3, "showStatus(" + number(id) + ")"); }
  HRESULT STDMETHODCALLTYPE setDeterminate(BOOL on) override {
    return record(4, "setDeterminate(" + number(on) + ")");
  }
  HRESULT STDMETHODCALLTYPE setProgress(float fraction) override {
    return record(5, "setProgress(" + number(static_cast<long long>(fraction * 100)) + "%)");
  }
  HRESULT STDMETHODCALLTYPE ask(int id, BOOL* yes) override { return outInt(6, "ask(" + number(id) + ")", yes); }
  HRESULT STDMETHODCALLTYPE endSuccess(int id) override { return record(7, "endSuccess(" + number(id) + ")"); }
  HRESULT STDMETHODCALLTYPE endError(int code) override { return record(8, "endError(" + number(code) + ")"); }
};

using Caller = void (*)(void*, const AbiArgs*, AbiOut*);

struct AbiCase {
  const char* name;
  std::function<void(Calls&, AbiOut&, const AbiArgs&)> run;
  Calls expected;  // after QueryInterface(own), AddRef, Release
  std::vector<int> intSlots, textSlots, pointerSlots;
};

template <class R>
std::function<void(Calls&, AbiOut&, const AbiArgs&)> through(Caller caller) {
  return [caller](Calls& calls, AbiOut& out, const AbiArgs& args) {
    R recorder(calls);
    // The interface pointer the GUI holds: the vtable sits at offset 0.
    caller(static_cast<IUnknown*>(&recorder), &args, &out);
  };
}

const AbiCase abiCases[] = {
    {"ILoginController", through<LoginControllerRecorder>(abiCallLoginController),
     {"clearSavedLogin", "detach", "login(j\xC3\xBCrgen,pw,1)"}, {}, {}, {}},
    {"IMainController", through<MainControllerRecorder>(abiCallMainController),
     {"logout", "detach", "connect(1,-17,j\xC3\xBCrgen,4000000000)", "disconnect", "repair(3)", "chooseAccount(9)",
      "getRates"},
     {}, {}, {}},
    {"IAccountInfo", through<AccountInfoRecorder>(abiCallAccountInfo),
     {"userName", "status", "statusText", "productName", "policy", "policyText", "expireDate", "balance",
      "timeLength", "flowLength"},
     {4, 7, 10, 11, 12}, {3, 5, 6, 8, 9}, {}},
    {"IServerList", through<ServerListRecorder>(abiCallServerList), {"count", "preferredName", "name(2)"}, {3}, {4, 5},
     {}},
    {"IGameList", through<GameListRecorder>(abiCallGameList),
     {"count", "preferredName", "name(1)", "id(2)", "desc(3)"}, {3, 6}, {4, 5, 7}, {}},
    {"IOperation", through<OperationRecorder>(abiCallOperation), {"cancel"}, {}, {}, {}},
    {"IGuiEntry", through<GuiEntryRecorder>(abiCallGuiEntry), {"showLogin(obj)"}, {}, {}, {3}},
    {"ILoginView", through<LoginViewRecorder>(abiCallLoginView),
     {"showSavedLogin(j\xC3\xBCrgen,pw)", "showConnState(5)", "setUpdateChecking(1)", "setLoginBusy(0)",
      "beginUpdate(obj)", "updateEnded", "showError(-3)", "askUpdate", "loggedIn(obj)"},
     {10}, {}, {7, 11}},
    {"IMainView", through<MainViewRecorder>(abiCallMainView),
     {"reserved", "showAccounts(obj,2)", "showAccountInfo(obj)", "showGames(obj)", "showServers(obj)",
      "showModePref(1)", "showServerLatency(6,-1)", "beginOperation(obj)", "connectEnded", "backendLost",
      "showError(20005)", "backToLogin(obj)", "connected", "disconnected", "enableIdleControls(1)",
      "setConnected(0)", "enableRepair(1)", "enableConnectChoice(0)", "enableIdleControls2(1)"},
     {}, {}, {10, 14}},
    {"IOperationProgress", through<OperationProgressRecorder>(abiCallOperationProgress),
     {"showStatus(90007)", "setDeterminate(1)", "setProgress(25%)", "ask(90009)", "endSuccess(90006)",
      "endError(20032)"},
     {6}, {}, {}},
};

class GuiAbiTest : public ::testing::TestWithParam<AbiCase> {};

TEST_P(GuiAbiTest, everySlotReachesItsMethodWithItsArguments) {
  const AbiCase& c = GetParam();
  AbiArgs args{makeBstr(L"j\u00FCrgen"), makeBstr(L"pw"), &sentinelObject};
  AbiOut out{};
  Calls calls;
  c.run(calls, out, args);

  Calls expected{"QueryInterface(own)", "AddRef", "Release"};
  expected.insert(expected.end(), c.expected.begin(), c.expected.end());
  EXPECT_EQ(calls, expected);
  for (size_t slot = 0; slot < expected.size(); ++slot) EXPECT_EQ(out.results[slot], long(slot)) << "slot " << slot;
  for (int slot : c.intSlots) EXPECT_EQ(out.ints[slot], 1000 + slot) << "slot " << slot;
  for (int slot : c.textSlots) {
    EXPECT_EQ(text(out.texts[slot]), "slot" + std::to_string(slot));
    SysFreeString(out.texts[slot]);
  }
  for (int slot : c.pointerSlots)
    EXPECT_EQ(reinterpret_cast<uintptr_t>(out.pointers[slot]), uintptr_t(0x100 + slot)) << "slot " << slot;
  if (std::string(c.name) == "IMainController") {
    EXPECT_EQ(out.rates[0], 1ull << 40);
    EXPECT_EQ(out.rates[3], 4ull << 40);
  }
  SysFreeString(args.text1);
  SysFreeString(args.text2);
}

INSTANTIATE_TEST_SUITE_P(AllInterfaces, GuiAbiTest, ::testing::ValuesIn(abiCases),
                         [](const ::testing::TestParamInfo<AbiCase>& info) { return std::string(info.param.name); });

}  // namespace
