// The account, server and game objects as the GUI reaches them: by slot
// through the C caller, and by name for the cases the caller's fixed indexes
// do not reach.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <thread>

#include "bridge/win/ListObjects.h"
#include "core/Text.h"
#include "core/win/System.h"
#include "tests/bridge/GuiAbiCaller.h"

namespace {

using Microsoft::WRL::ComPtr;

std::string text(BSTR value) { return value ? toUtf8(fromBstr(value)) : "(null)"; }

struct CallerOut {
  AbiOut out{};
  CallerOut() {
    for (int& value : out.ints) value = 77;
  }
  ~CallerOut() {
    for (BSTR value : out.texts) SysFreeString(value);
    if (out.queried) static_cast<IUnknown*>(out.queried)->Release();
  }
};

TEST(AccountInfoObjectTest, EverySlotGivesItsField) {
  auto info = std::make_shared<AccountInfo>();
  info->userName = "\xE5\xBC\xA0\xE4\xB8\x89";  // non-ASCII arrives as the same characters
  info->password = "never offered";
  info->status = 3;
  info->statusText = "";
  info->productName = "Gold";
  info->policy = -4;
  info->policyText = "pt";
  info->expireDate = "2027-01-01";
  info->balance = 5;
  info->timeLength = 6;
  info->flowLength = -7;
  ComPtr<IAccountInfo> object(new AccountInfoObject(info));
  CallerOut call;
  AbiArgs args{};
  abiCallAccountInfo(object.Get(), &args, &call.out);
  EXPECT_EQ(call.out.results[0], S_OK);
  EXPECT_EQ(call.out.queried, static_cast<void*>(object.Get()));
  for (int slot = 3; slot <= 12; ++slot) EXPECT_EQ(call.out.results[slot], S_OK) << slot;
  EXPECT_EQ(fromBstr(call.out.texts[3]), std::wstring(L"\u5F20\u4E09"));
  EXPECT_EQ(call.out.ints[4], 3);
  EXPECT_EQ(call.out.texts[5], nullptr) << "an empty text is a null BSTR";
  EXPECT_EQ(text(call.out.texts[6]), "Gold");
  EXPECT_EQ(call.out.ints[7], -4);
  EXPECT_EQ(text(call.out.texts[8]), "pt");
  EXPECT_EQ(text(call.out.texts[9]), "2027-01-01");
  EXPECT_EQ(call.out.ints[10], 5);
  EXPECT_EQ(call.out.ints[11], 6);
  EXPECT_EQ(call.out.ints[12], -7);

  ComPtr<IServerList> other;
  EXPECT_EQ(object.As(&other), E_NOINTERFACE);
  EXPECT_EQ(object->userName(nullptr), E_POINTER);
  EXPECT_EQ(object->balance(nullptr), E_POINTER);
}

std::shared_ptr<std::vector<ServerEntry>> servers(std::initializer_list<const char*> names) {
  auto list = std::make_shared<std::vector<ServerEntry>>();
  for (const char* name : names) {
    ServerEntry entry;
    entry.name = name;
    list->push_back(entry);
  }
  return list;
}

TEST(ServerListObjectTest, SlotsGiveCountPreferenceAndNames) {
  auto list = servers({"a", "b", "Tōkyō"});
  ComPtr<IServerList> object(new ServerListObject(list, "b"));
  CallerOut call;
  AbiArgs args{};
  abiCallServerList(object.Get(), &args, &call.out);
  EXPECT_EQ(call.out.results[0], S_OK);
  EXPECT_EQ(call.out.ints[3], 3);
  EXPECT_EQ(text(call.out.texts[4]), "b");
  EXPECT_EQ(call.out.results[5], S_OK);
  EXPECT_EQ(text(call.out.texts[5]), "Tōkyō");
}

TEST(ServerListObjectTest, CountFollowsTheSharedListAndIndexIsUnsigned) {
  auto list = servers({});
  ComPtr<IServerList> object(new ServerListObject(list, ""));
  int count = -1;
  EXPECT_EQ(object->count(&count), S_OK);
  EXPECT_EQ(count, 0);
  BSTR name = makeBstr(L"stale");
  SysFreeString(name);
  EXPECT_EQ(object->name(0, &name), E_FAIL);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(object->preferredName(&name), S_OK);
  EXPECT_EQ(name, nullptr) << "no saved preference";

  list->push_back(ServerEntry{});
  list->back().name = "later";
  EXPECT_EQ(object->count(&count), S_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(object->name(0, &name), S_OK);
  EXPECT_EQ(text(name), "later");
  SysFreeString(name);
  EXPECT_EQ(object->name(0xFFFFFFFFu, &name), E_FAIL);
  EXPECT_EQ(name, nullptr);

  EXPECT_EQ(object->count(nullptr), E_POINTER);
  EXPECT_EQ(object->preferredName(nullptr), E_POINTER);
  EXPECT_EQ(object->name(0, nullptr), E_POINTER);
  EXPECT_EQ(object->name(5, nullptr), E_POINTER);
}

TEST(GameListObjectTest, OutOfRangeFailsAndLeavesTheIdUntouched) {
  auto games = std::make_shared<std::vector<GameEntry>>(2);
  (*games)[0] = {11, "first", "d0"};
  (*games)[1] = {-12, "second", ""};
  // A saved preference that names no game is handed on as it is.
  ComPtr<IGameList> object(new GameListObject(games, "gone"));
  CallerOut call;
  AbiArgs args{};
  abiCallGameList(object.Get(), &args, &call.out);  // name(1), id(2), desc(3)
  EXPECT_EQ(call.out.results[0], S_OK);
  EXPECT_EQ(call.out.ints[3], 2);
  EXPECT_EQ(text(call.out.texts[4]), "gone");
  EXPECT_EQ(call.out.results[5], S_OK);
  EXPECT_EQ(text(call.out.texts[5]), "second");
  EXPECT_EQ(call.out.results[6], E_FAIL);
  EXPECT_EQ(call.out.ints[6], 77);
  EXPECT_EQ(call.out.results[7], E_FAIL);
  EXPECT_EQ(call.out.texts[7], nullptr);

  int id = 0;
  EXPECT_EQ(object->id(1, &id), S_OK);
  EXPECT_EQ(id, -12);
  BSTR desc = nullptr;
  EXPECT_EQ(object->desc(0, &desc), S_OK);
  EXPECT_EQ(text(desc), "d0");
  SysFreeString(desc);
  EXPECT_EQ(object->desc(1, &desc), S_OK);
  EXPECT_EQ(desc, nullptr);
  EXPECT_EQ(object->id(0, nullptr), E_POINTER);
  EXPECT_EQ(object->desc(0, nullptr), E_POINTER);
}

TEST(ListObjectsTest, LastReleaseOnAnotherThreadDestroys) {
  auto games = std::make_shared<std::vector<GameEntry>>(1);
  IGameList* object = new GameListObject(games, "");
  object->AddRef();
  EXPECT_EQ(games.use_count(), 2);
  std::thread([object] { object->Release(); }).join();
  EXPECT_EQ(games.use_count(), 1);
}

}  // namespace
