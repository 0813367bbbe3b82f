#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/NumberError.h"
#include "core/QuoteArgument.h"
#include "core/StatusCodes.h"
#include "core/Text.h"
#include "core/win/AdminOnlyFolder.h"
#include "core/win/ChildProcess.h"
#include "core/win/LinkChecks.h"
#include "core/win/System.h"
#include "core/win/WinHandle.h"
#include "netcfg/TapBindOrder.h"
#include "netcfg/win/TapAdapter.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/win/ChildHelper.h"
#include "tests/support/win/SeenFolders.h"
#include "tests/support/win/TestFolder.h"
#include "tests/support/win/TapFixture.h"

namespace {

const std::wstring guidA = L"{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}";
const std::wstring guidB = L"{00112233-4455-6677-8899-AABBCCDDEEFF}";

std::wstring adapterPath(const std::wstring& subkey) { return std::wstring(adapterClassKey) + L"\\" + subkey; }

GUID guidOf(const std::wstring& text) {
  GUID guid = {};
  EXPECT_TRUE(SUCCEEDED(IIDFromString(text.c_str(), &guid)));
  return guid;
}

struct Value {
  const wchar_t* name;
  DWORD type;
  std::string bytes;
};

Value dword(const wchar_t* name, DWORD value) {
  return {name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value)};
}

// With its NUL, as the system writes a REG_SZ.
Value text(const wchar_t* name, const std::wstring& value) {
  return {name, REG_SZ, std::string(reinterpret_cast<const char*>(value.c_str()), (value.size() + 1) * 2)};
}

struct Adapter {
  std::wstring subkey;
  std::vector<Value> values;
};

// Marked, tap0901, with a GUID: the own adapter once its device opens.
Adapter ownAdapter(const std::wstring& subkey, const std::wstring& guid) {
  return {subkey, {dword(L"IsKWEL", 1), text(L"NetCfgInstanceId", guid), text(L"ComponentId", L"tap0901")}};
}

// ownAdapter with one value replaced.
Adapter ownAdapterWith(const std::wstring& subkey, const std::wstring& guid, Value changed) {
  Adapter adapter = ownAdapter(subkey, guid);
  for (Value& value : adapter.values)
    if (std::wstring(value.name) == changed.name) value = changed;
  return adapter;
}

Adapter ownAdapterWithout(const std::wstring& subkey, const std::wstring& guid, const wchar_t* name) {
  Adapter adapter = ownAdapter(subkey, guid);
  for (auto value = adapter.values.begin(); value != adapter.values.end(); ++value)
    if (std::wstring(value->name) == name) {
      adapter.values.erase(value);
      break;
    }
  return adapter;
}

// The GUID that the adapter's NetCfgInstanceId names.
GUID instanceGuidOf(const Adapter& adapter) {
  for (const Value& value : adapter.values)
    if (std::wstring(value.name) == L"NetCfgInstanceId") {
      std::wstring id(reinterpret_cast<const wchar_t*>(value.bytes.data()), value.bytes.size() / 2);
      trimAtNul(id);
      return guidOf(id);
    }
  ADD_FAILURE() << "no NetCfgInstanceId";
  return GUID{};
}

// Writes the class key with exactly these adapters.
void writeClassKey(const std::vector<Adapter>& adapters) {
  deleteRegistryTree(adapterClassKey);
  createRegistryKey(adapterClassKey);
  for (const Adapter& adapter : adapters) {
    createRegistryKey(adapterPath(adapter.subkey));
    for (const Value& value : adapter.values)
      setRegistryValue(adapterPath(adapter.subkey), value.name, value.type, value.bytes);
  }
}

class TapRegistryTest : public testing::Test {
 protected:
  void TearDown() override {
    deleteRegistryTree(adapterClassKey);
    devices_.clear();
  }
  TapDeviceFolder devices_;
};

struct FindCase {
  const char* name;
  std::vector<Adapter> adapters;
  std::vector<std::wstring> devices;  // instance ids whose device opens
  const wchar_t* found;               // subkey, or null
  std::string log;                    // the whole log of the scan
};

const std::wstring longName(255, L'0');

const FindCase findCases[] = {
    {"NoSubkeys", {}, {}, nullptr, ""},
    {"Found",
     {ownAdapter(L"0001", guidA)},
     {guidA},
     L"0001",
     "MyTap Found: 0001, {5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n"},
    {"Unmarked", {ownAdapterWithout(L"0001", guidA, L"IsKWEL")}, {guidA}, nullptr, ""},
    {"MarkZero", {ownAdapterWith(L"0001", guidA, dword(L"IsKWEL", 0))}, {guidA}, nullptr, ""},
    {"MarkAsText", {ownAdapterWith(L"0001", guidA, text(L"IsKWEL", L"1"))}, {guidA}, nullptr, ""},
    {"MarkAsQword",
     {ownAdapterWith(L"0001", guidA, {L"IsKWEL", REG_QWORD, std::string("\x01\0\0\0\0\0\0\0", 8)})},
     {guidA},
     nullptr,
     ""},
    {"MarkOfTwoBytes",
     {ownAdapterWith(L"0001", guidA, {L"IsKWEL", REG_DWORD, std::string("\x01\0", 2)})},
     {guidA},
     nullptr,
     ""},
    {"MarkOfEightBytes",
     {ownAdapterWith(L"0001", guidA, {L"IsKWEL", REG_DWORD, std::string("\x01\0\0\0\0\0\0\0", 8)})},
     {guidA},
     nullptr,
     ""},
    {"NoInstanceId",
     {ownAdapterWithout(L"0001", guidA, L"NetCfgInstanceId")},
     {guidA},
     nullptr,
     "NetCfgInstanceId not found, 0001\n"},
    {"InstanceIdAsDword", {ownAdapterWith(L"0001", guidA, dword(L"NetCfgInstanceId", 1))}, {guidA}, nullptr, ""},
    {"InstanceIdEmpty", {ownAdapterWith(L"0001", guidA, {L"NetCfgInstanceId", REG_SZ, ""})}, {guidA}, nullptr, ""},
    {"InstanceIdOnlyNul", {ownAdapterWith(L"0001", guidA, text(L"NetCfgInstanceId", L""))}, {L""}, nullptr, ""},
    {"InstanceIdNotAGuid",
     {ownAdapterWith(L"0001", guidA, text(L"NetCfgInstanceId", L"tap0901"))},
     {L"tap0901"},
     nullptr,
     ""},
    {"InstanceIdUnbraced",
     {ownAdapterWith(L"0001", guidA, text(L"NetCfgInstanceId", L"5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60"))},
     {L"5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60"},
     nullptr,
     ""},
    // Cut at its first NUL, like any registry text.
    {"InstanceIdWithTextAfterItsNul",
     {ownAdapterWith(L"0001", guidA, text(L"NetCfgInstanceId", guidA + std::wstring(1, L'\0') + L"junk"))},
     {guidA},
     L"0001",
     "MyTap Found: 0001, {5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n"},
    {"InstanceIdWithoutNul",
     {ownAdapterWith(L"0001", guidA,
                     {L"NetCfgInstanceId", REG_SZ, std::string(reinterpret_cast<const char*>(guidA.c_str()), 76)})},
     {guidA},
     L"0001",
     "MyTap Found: 0001, {5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n"},
    {"InstanceIdOfOddSize",
     {ownAdapterWith(L"0001", guidA,
                     {L"NetCfgInstanceId", REG_SZ, std::string(reinterpret_cast<const char*>(guidA.c_str()), 77)})},
     {guidA},
     L"0001",
     "MyTap Found: 0001, {5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n"},
    {"NoComponentId",
     {ownAdapterWithout(L"0001", guidA, L"ComponentId")},
     {guidA},
     nullptr,
     "ComponentId not found, 0001\n"},
    {"ComponentIdAsDword", {ownAdapterWith(L"0001", guidA, dword(L"ComponentId", 901))}, {guidA}, nullptr, ""},
    {"ComponentIdEmpty", {ownAdapterWith(L"0001", guidA, {L"ComponentId", REG_SZ, ""})}, {guidA}, nullptr, ""},
    {"ComponentIdOfOtherCase",
     {ownAdapterWith(L"0001", guidA, text(L"ComponentId", L"TAP0901"))},
     {guidA},
     nullptr,
     "invalid ComponentId: TAP0901, 0001\n"},
    {"OtherComponentId",
     {ownAdapterWith(L"0001", guidA, text(L"ComponentId", L"tap0801"))},
     {guidA},
     nullptr,
     "invalid ComponentId: tap0801, 0001\n"},
    {"DeviceNotOpenable",
     {ownAdapter(L"0001", guidA)},
     {},
     nullptr,
     "GLE: 2\nNot openable: 0001, {5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n"},
    {"TwoMarkedTheFirstOpens",
     {ownAdapter(L"0001", guidA), ownAdapter(L"0002", guidB)},
     {guidA, guidB},
     L"0001",
     "MyTap Found: 0001, {5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n"},
    {"TwoMarkedTheFirstNotOpenable",
     {ownAdapter(L"0001", guidA), ownAdapter(L"0002", guidB)},
     {guidB},
     L"0002",
     "GLE: 2\nNot openable: 0001, {5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n"
     "MyTap Found: 0002, {00112233-4455-6677-8899-AABBCCDDEEFF}\n"},
    {"OtherAdaptersFirst",
     {{L"0000", {text(L"ComponentId", L"pci\\ven_8086"), text(L"NetCfgInstanceId", guidB)}},
      {L"Properties", {}},
      ownAdapter(L"0003", guidA)},
     {guidA, guidB},
     L"0003",
     "MyTap Found: 0003, {5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n"},
    // Key names may be 255 characters long: such a key is looked at, not the end of the scan.
    {"LongestSubkeyNameBefore",
     {{longName, {}}, ownAdapter(L"1", guidA)},
     {guidA},
     L"1",
     "MyTap Found: 1, {5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n"},
    {"LongestSubkeyNameIsTheAdapter",
     {ownAdapter(longName, guidA)},
     {guidA},
     longName.c_str(),
     "MyTap Found: " + toUtf8(longName) + ", {5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n"},
};

class FindOwnTapAdapterTable : public TapRegistryTest, public testing::WithParamInterface<FindCase> {};

TEST_P(FindOwnTapAdapterTable, FindsTheFirstUsableMarkedAdapter) {
  const FindCase& c = GetParam();
  writeClassKey(c.adapters);
  for (const std::wstring& device : c.devices) devices_.addDevice(device);
  CapturedDebugLog log;
  TapAdapter tap(L"C:\\unused", nullptr);
  bool found = tap.findOwnTapAdapter();
  EXPECT_EQ(found, c.found != nullptr);
  EXPECT_EQ(log.text(), c.log);
  if (!found) return;
  EXPECT_EQ(tap.adapterKeyPath(), adapterPath(c.found));
  for (const Adapter& adapter : c.adapters) {
    if (adapter.subkey == c.found) {
      EXPECT_TRUE(IsEqualGUID(tap.adapterGuid(), instanceGuidOf(adapter)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ClassKeys, FindOwnTapAdapterTable, testing::ValuesIn(findCases),
                         [](const testing::TestParamInfo<FindCase>& info) { return info.param.name; });

TEST_F(TapRegistryTest, NoClassKeyIsNotFound) {
  deleteRegistryTree(adapterClassKey);
  TapAdapter tap(L"C:\\unused", nullptr);
  EXPECT_FALSE(tap.findOwnTapAdapter());
}

// The device is opened for exclusive use: one that another program holds
// (a running tunnel) is not the own adapter's.
TEST_F(TapRegistryTest, ADeviceInUseIsNotOpenable) {
  devices_.addDevice(guidA);
  ASSERT_TRUE(canOpenTapDevice(guidA));
  WinFile holder(CreateFileW(tapDevicePath(guidA).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_SYSTEM | FILE_FLAG_OVERLAPPED, nullptr),
                 winhandle::kNoCloseCode);
  ASSERT_TRUE(holder);
  CapturedDebugLog log;
  EXPECT_FALSE(canOpenTapDevice(guidA));
  holder.reset();
  EXPECT_EQ(log.text(), "GLE: 32\n");
  EXPECT_TRUE(canOpenTapDevice(guidA)) << "the check left the device open";
}

TEST(TapDevicePath, IsTheGlobalDeviceOfTheInstanceIdAsRead) {
  EXPECT_EQ(tapDevicePath(L"{5a8d2f31-0b7c-4e96-a1d4-3c2b9e8f7a60}"),
            L"\\\\.\\Global\\{5a8d2f31-0b7c-4e96-a1d4-3c2b9e8f7a60}.tap");
}

TEST_F(TapRegistryTest, ForEachAdapterKeyVisitsInOrderUntilTold) {
  writeClassKey({{L"0000", {}}, {L"0001", {}}, {L"0002", {}}, {longName, {}}});
  std::vector<std::wstring> seen;
  EXPECT_TRUE(forEachAdapterKey([&](const std::wstring& path) {
    seen.push_back(path);
    return true;
  }));
  EXPECT_EQ(seen, (std::vector<std::wstring>{adapterPath(L"0000"), adapterPath(longName), adapterPath(L"0001"),
                                             adapterPath(L"0002")}));
  seen.clear();
  EXPECT_FALSE(forEachAdapterKey([&](const std::wstring& path) {
    seen.push_back(path);
    return seen.size() < 2;
  }));
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(TapRegistryTest, ForEachAdapterKeyThrowsWithoutSubkeys) {
  auto visit = [](const std::wstring&) { return true; };
  for (bool classKey : {false, true}) {
    deleteRegistryTree(adapterClassKey);
    if (classKey) createRegistryKey(adapterClassKey);
    try {
      forEachAdapterKey(visit);
      ADD_FAILURE() << "no exception";
    } catch (const NumberError& e) {
      EXPECT_EQ(e.code(), classKey ? 27 : 26);
    }
  }
}

std::string readBind() {
  DWORD type = 0;
  std::string bytes;
  EXPECT_TRUE(readRegistryValue(tcpipLinkageKey, L"Bind", type, bytes));
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  return bytes;
}

DWORD readDword(const std::wstring& keyPath, const wchar_t* name) {
  DWORD type = 0;
  std::string bytes;
  if (!readRegistryValue(keyPath, name, type, bytes) || type != REG_DWORD || bytes.size() != 4) return 0xFFFFFFFF;
  return *reinterpret_cast<const DWORD*>(bytes.data());
}

const std::string bindOrderLog =
    "===Binding Order===\n{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n{00112233-4455-6677-8899-AABBCCDDEEFF}\n"
    "===Binding Order End===\n";

struct BindCase {
  const char* name;
  bool linkageKey;
  DWORD type;  // REG_NONE: no "Bind"
  std::string value;
  int result;
  std::string after;  // the value afterwards
  std::string log;
};

const std::string malformed = bindValue({guidB}) + std::string("\\\0D\0r\0v\0\0\0\0\0", 12);

const BindCase bindCases[] = {
    {"Rewritten", true, REG_MULTI_SZ, bindValue({guidB, guidA}), bindOrder::rewritten, bindValue({guidA, guidB}),
     bindOrderLog},
    {"AlreadyFirstWrittenInUpperCase", true, REG_MULTI_SZ,
     bindValue({L"{5a8d2f31-0b7c-4e96-a1d4-3c2b9e8f7a60}", L"{00112233-4455-6677-8899-aabbccddeeff}"}),
     bindOrder::rewritten, bindValue({guidA, guidB}), bindOrderLog},
    {"NoLinkageKey", false, REG_NONE, "", bindOrder::keyNotOpened, "", ""},
    {"NoBind", true, REG_NONE, "", bindOrder::valueNotQueried, "", ""},
    {"BindAsText", true, REG_SZ, bindValue({guidA}), bindOrder::valueNotMultiString, bindValue({guidA}), ""},
    {"BindEmpty", true, REG_MULTI_SZ, "", bindOrder::valueNotMultiString, "", ""},
    {"Malformed", true, REG_MULTI_SZ, malformed, bindOrder::entryTooShort, malformed, ""},
    {"OwnAbsent", true, REG_MULTI_SZ, bindValue({guidB}), bindOrder::adapterNotListed, bindValue({guidB}), ""},
    {"OddSize", true, REG_MULTI_SZ, bindValue({guidB, guidA}) + '\0', bindOrder::rewritten, bindValue({guidA, guidB}),
     bindOrderLog},
};

class MoveAdapterFirstTable : public TapRegistryTest, public testing::WithParamInterface<BindCase> {};

TEST_P(MoveAdapterFirstTable, RewritesBindOrLeavesIt) {
  const BindCase& c = GetParam();
  writeClassKey({ownAdapter(L"0001", guidA)});
  devices_.addDevice(guidA);
  TapAdapter tap(L"C:\\unused", nullptr);
  ASSERT_TRUE(tap.findOwnTapAdapter());
  deleteRegistryTree(tcpipLinkageKey);
  if (c.linkageKey) createRegistryKey(tcpipLinkageKey);
  if (c.type != REG_NONE) setRegistryValue(tcpipLinkageKey, L"Bind", c.type, c.value);
  CapturedDebugLog log;
  EXPECT_EQ(tap.moveAdapterFirstInBindOrder(), c.result);
  EXPECT_EQ(log.text(), c.log);
  DWORD type = 0;
  std::string after;
  if (c.type != REG_NONE) {
    ASSERT_TRUE(readRegistryValue(tcpipLinkageKey, L"Bind", type, after));
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(after, c.after);
  } else {
    EXPECT_FALSE(readRegistryValue(tcpipLinkageKey, L"Bind", type, after));
  }
}

INSTANTIATE_TEST_SUITE_P(LinkageKeys, MoveAdapterFirstTable, testing::ValuesIn(bindCases),
                         [](const testing::TestParamInfo<BindCase>& info) { return info.param.name; });

// The portable GUID text agrees with the system's in both directions.
TEST(BracedGuidAgainstTheSystem, ParsesAndPrintsAsIidFromStringAndStringFromIid) {
  const wchar_t* texts[] = {
      L"{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}", L"{5a8d2f31-0b7c-4e96-a1d4-3c2b9e8f7a60}",
      L"{00000000-0000-0000-0000-000000000000}", L"{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}",
      L"x5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}", L"{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60)",
      L"{5A8D2F31-0B7C-4E96-A1D4--C2B9E8F7A60}", L"{5A8D2F3100B7C04E960A1D403C2B9E8F7A60}",
      L"{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7AG0}", L"{ A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}",
  };
  for (const wchar_t* text : texts) {
    SCOPED_TRACE(toUtf8(text));
    std::u16string portable(text, text + 38);
    BindGuid bind;
    GUID guid;
    bool parsed = parseBracedGuid(portable.c_str(), bind);
    ASSERT_EQ(parsed, SUCCEEDED(IIDFromString(text, &guid)));
    if (!parsed) continue;
    EXPECT_EQ(bind.data1, guid.Data1);
    EXPECT_EQ(bind.data2, guid.Data2);
    EXPECT_EQ(bind.data3, guid.Data3);
    EXPECT_EQ(std::memcmp(bind.data4, guid.Data4, 8), 0);
    LPOLESTR system = nullptr;
    ASSERT_TRUE(SUCCEEDED(StringFromIID(guid, &system)));
    std::u16string printed = bracedGuidText(bind);
    EXPECT_EQ(std::wstring(printed.begin(), printed.end()), std::wstring(system));
    CoTaskMemFree(system);
  }
}

// A TAP-Windows folder (with a blank in its name) holding the stand-in
// tapinstall and the INF it wants.
class TapInstallTest : public TapRegistryTest {
 protected:
  void SetUp() override {
    folder_ = uniqueTempPath(L"TAP Windows");
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(joinPath(folder_, L"bin").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(joinPath(folder_, L"driver").c_str(), nullptr));
    ASSERT_TRUE(writeWideFile(joinPath(folder_, L"driver\\OemVista.inf"), "; stand-in\r\n"));
    ASSERT_TRUE(CopyFileW(joinPath(parentFolder(exePath()), L"tapinstall.exe").c_str(),
                          joinPath(folder_, L"bin\\tapinstall.exe").c_str(), FALSE));
    deleteRegistryTree(tcpipLinkageKey);
    setRegistryValue(tcpipLinkageKey, L"Bind", REG_MULTI_SZ, bindValue({guidB, guidA}));
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"ZAV_TAPINSTALL", nullptr);
    deleteTree(folder_);
    TapRegistryTest::TearDown();
  }
  static void tell(const std::wstring& order) { SetEnvironmentVariableW(L"ZAV_TAPINSTALL", order.c_str()); }
  std::wstring folder_;
};

struct InstallCase {
  const char* name;
  std::vector<Adapter> adapters;
  std::wstring order;    // empty: no tapinstall at all
  const wchar_t* added;  // the new adapter key's subkey, or null
  std::string log;
};

const std::vector<Adapter> twoAdapters = {{L"0000", {text(L"ComponentId", L"pci\\ven_8086")}},
                                          {L"0002", {text(L"ComponentId", L"swenum")}}};

const InstallCase installCases[] = {
    {"NewKeyAppears", twoAdapters, L"add|0003|tap0901|" + guidA, L"0003",
     "tapinstall done\nnew TAP: regIndex = " + toUtf8(adapterPath(L"0003")) + "\n"},
    // Enumeration order is the name's: the new key need not come last.
    {"NewKeyAmongTheOld", twoAdapters, L"add|0001|tap0901|" + guidA, L"0001",
     "tapinstall done\nnew TAP: regIndex = " + toUtf8(adapterPath(L"0001")) + "\n"},
    {"NoKeyAppears", twoAdapters, L"none", nullptr, "tapinstall done\n"},
    {"TapinstallExitsWithOne", twoAdapters, L"exit|1", nullptr, ""},
    {"TapinstallCannotStart", twoAdapters, L"", nullptr, ""},
    {"ClassKeyWithoutSubkeys", {}, L"add|0000|tap0901|" + guidA, nullptr, ""},
};

class InstallTapAdapterTable : public TapInstallTest, public testing::WithParamInterface<InstallCase> {};

TEST_P(InstallTapAdapterTable, TakesTheKeyTapinstallAdded) {
  const InstallCase& c = GetParam();
  writeClassKey(c.adapters);
  if (c.order.empty())
    ASSERT_TRUE(DeleteFileW(joinPath(folder_, L"bin\\tapinstall.exe").c_str()));
  else
    tell(c.order);
  CapturedDebugLog log;
  TapAdapter tap(folder_, nullptr);
  EXPECT_EQ(tap.installTapAdapter(), c.added != nullptr);
  EXPECT_EQ(log.text(), c.log);
  if (c.added) {
    EXPECT_EQ(tap.adapterKeyPath(), adapterPath(c.added));
  } else {
    EXPECT_EQ(subkeyCount(adapterClassKey), c.adapters.size()) << "tapinstall ran after all";
  }
}

INSTANTIATE_TEST_SUITE_P(Installs, InstallTapAdapterTable, testing::ValuesIn(installCases),
                         [](const testing::TestParamInfo<InstallCase>& info) { return info.param.name; });

TEST_F(TapInstallTest, MarkAndCharacteristicsAreDwordsOnTheNewAdapterKey) {
  writeClassKey(twoAdapters);
  tell(L"add|0001|tap0901|" + guidA);
  TapAdapter tap(folder_, nullptr);
  ASSERT_TRUE(tap.installTapAdapter());
  EXPECT_TRUE(tap.markOwnAdapter());
  EXPECT_TRUE(tap.setAdapterCharacteristics());
  EXPECT_EQ(readDword(adapterPath(L"0001"), L"IsKWEL"), 1u);
  EXPECT_EQ(readDword(adapterPath(L"0001"), L"Characteristics"), 8u);
  // Gone before it is written: a failure, and no key is made for it.
  deleteRegistryTree(adapterPath(L"0001"));
  EXPECT_FALSE(tap.markOwnAdapter());
  EXPECT_FALSE(tap.setAdapterCharacteristics());
  EXPECT_EQ(subkeyCount(adapterClassKey), twoAdapters.size());
  // Without an adapter key nothing is written, least of all on HKLM itself.
  TapAdapter none(folder_, nullptr);
  EXPECT_FALSE(none.markOwnAdapter());
  EXPECT_FALSE(none.setAdapterCharacteristics());
  DWORD type = 0;
  std::string bytes;
  EXPECT_FALSE(readRegistryValue(L"", L"IsKWEL", type, bytes));
  EXPECT_FALSE(readRegistryValue(L"", L"Characteristics", type, bytes));
}

// tapinstall installs a driver elevated: in a new admin-only folder (current
// folder, TMP and TEMP) below the given parent or the Windows folder's Temp,
// never the user's, and gone after the run.
TEST_F(TapInstallTest, TapinstallRunsInAnAdminOnlyFolderOfItsOwn) {
  writeClassKey(twoAdapters);
  tell(L"none");
  const std::wstring userTemp = uniqueTempPath(L"user temp");
  ASSERT_TRUE(CreateDirectoryW(userTemp.c_str(), nullptr));
  const std::wstring record = joinPath(userTemp, L"folders.txt");
  const std::wstring parent = joinPath(folder_, L"run folders");
  ASSERT_TRUE(CreateDirectoryW(parent.c_str(), nullptr));
  for (const std::wstring& given : {parent, std::wstring()}) {
    SetEnvironmentVariableW(L"ZAV_FOLDERS_RECORD", record.c_str());
    {
      UserTempFolder user(userTemp);
      TapAdapter tap(folder_, nullptr, given);
      EXPECT_FALSE(tap.installTapAdapter()) << "no adapter was added";
    }
    SetEnvironmentVariableW(L"ZAV_FOLDERS_RECORD", nullptr);
    const SeenFolders seen = readSeenFolders(record);
    DeleteFileW(record.c_str());
    const std::wstring& folder = seen.current;
    EXPECT_EQ(seen, (SeenFolders{folder, folder, folder}));
    EXPECT_TRUE(samePath(parentFolder(folder), given.empty() ? systemTempFolder() : given)) << toUtf8(folder);
    EXPECT_EQ(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES) << "the folder stays behind";
  }
  RemoveDirectoryW(userTemp.c_str());
}

// The stand-in refuses any other command line with exit code 90: this is
// the one that makes it act.
TEST_F(TapInstallTest, TapinstallGetsTheInstallCommandLine) {
  writeClassKey(twoAdapters);
  tell(L"exit|0");
  EXPECT_EQ(runAndWait(joinPath(folder_, L"bin\\tapinstall.exe"),
                       quoteArgument(joinPath(folder_, L"bin\\tapinstall.exe")) + L" install " +
                           quoteArgument(joinPath(folder_, L"driver\\OemVista.inf")) + L" tap0901"),
            0u);
  EXPECT_EQ(runAndWait(joinPath(folder_, L"bin\\tapinstall.exe"),
                       quoteArgument(joinPath(folder_, L"bin\\tapinstall.exe")) + L" install " +
                           quoteArgument(joinPath(folder_, L"driver\\OemVista.inf")) + L" TAP0901"),
            90u);
}

struct PrepareCase {
  const char* name;
  std::vector<Adapter> adapters;
  std::wstring order;
  std::vector<std::wstring> devices;
  int status;
  const wchar_t* own;  // the subkey that ends up marked, or null
  std::string log;
};

const std::string foundLog = "MyTap Found: 0001, {5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n";
const std::string installedLog = "tapinstall done\nnew TAP: regIndex = " + toUtf8(adapterPath(L"0001")) + "\n";

const PrepareCase prepareCases[] = {
    // tapinstall would fail the step: it must not run.
    {"FoundAdapter", {ownAdapter(L"0001", guidA)}, L"exit|1", {guidA}, 0, L"0001", foundLog + bindOrderLog},
    {"InstallsMarksAndOrders",
     twoAdapters,
     L"add|0001|tap0901|" + guidA,
     {guidA},
     0,
     L"0001",
     installedLog + foundLog + bindOrderLog},
    // A marked adapter whose device is gone is passed over for a new one.
    {"InstallsBesideAnUnopenableOne",
     {ownAdapter(L"0000", guidB)},
     L"add|0001|tap0901|" + guidA,
     {guidA},
     0,
     L"0001",
     "GLE: 2\nNot openable: 0000, {00112233-4455-6677-8899-AABBCCDDEEFF}\n" + installedLog +
         "GLE: 2\nNot openable: 0000, {00112233-4455-6677-8899-AABBCCDDEEFF}\n" + foundLog + bindOrderLog},
    {"TapinstallFails", twoAdapters, L"exit|1", {guidA}, status::tapinstallFailed, nullptr, ""},
    {"NoNewAdapter", twoAdapters, L"none", {guidA}, status::tapinstallFailed, nullptr, "tapinstall done\n"},
    {"NewAdapterOfAnotherComponent",
     twoAdapters,
     L"add|0001|tap0801|" + guidA,
     {guidA},
     status::adapterNotFound,
     L"0001",
     installedLog + "invalid ComponentId: tap0801, 0001\n"},
    {"NewAdapterNotOpenable",
     twoAdapters,
     L"add|0001|tap0901|" + guidA,
     {},
     status::adapterNotFound,
     L"0001",
     installedLog + "GLE: 2\nNot openable: 0001, {5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n"},
};

class PrepareTapAdapterTable : public TapInstallTest, public testing::WithParamInterface<PrepareCase> {};

TEST_P(PrepareTapAdapterTable, EndsReadyOrWithItsStatus) {
  const PrepareCase& c = GetParam();
  writeClassKey(c.adapters);
  for (const std::wstring& device : c.devices) devices_.addDevice(device);
  tell(c.order);
  CapturedDebugLog log;
  TapAdapter tap(folder_, nullptr);
  EXPECT_EQ(tap.prepareTapAdapter(), c.status);
  EXPECT_EQ(log.text(), c.log);
  if (c.own) {
    EXPECT_EQ(readDword(adapterPath(c.own), L"IsKWEL"), 1u);
  }
  if (c.status != 0) {
    EXPECT_EQ(readBind(), bindValue({guidB, guidA})) << "the order changed after a failure";
    return;
  }
  EXPECT_TRUE(IsEqualGUID(tap.adapterGuid(), guidOf(guidA)));
  EXPECT_EQ(tap.adapterKeyPath(), adapterPath(c.own));
  EXPECT_EQ(readDword(adapterPath(c.own), L"Characteristics"), 8u);
  EXPECT_EQ(readBind(), bindValue({guidA, guidB}));
}

INSTANTIATE_TEST_SUITE_P(Steps, PrepareTapAdapterTable, testing::ValuesIn(prepareCases),
                         [](const testing::TestParamInfo<PrepareCase>& info) { return info.param.name; });

// A driver install may wait at a system prompt for good: the owner's stop
// ends it, and the step fails as a failed installation.
TEST_F(TapInstallTest, TheStopEventEndsAHungTapinstall) {
  writeClassKey(twoAdapters);
  std::wstring record = uniqueTempPath(L"tapinstall");
  tell(L"hang|" + record);
  WinHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr), winhandle::kNoCloseCode);
  ASSERT_TRUE(stop);
  std::thread owner([&] {
    if (waitForFile(record, 30000)) SetEvent(stop.get());
  });
  TapAdapter tap(folder_, stop.get());
  DWORD start = GetTickCount();
  EXPECT_EQ(tap.prepareTapAdapter(), status::tapinstallFailed);
  owner.join();
  EXPECT_LT(GetTickCount() - start, 30000u);
  ASSERT_TRUE(waitForFile(record, 0)) << "tapinstall never ran";
  EXPECT_TRUE(processEnds(recordedProcessId(record), 0)) << "tapinstall still runs";
  DeleteFileW(record.c_str());
}

// Steps whose results are set by the test, for the failures that no
// registry fixture can cause; records the order in which they ran.
class ScriptedTapAdapter : public TapAdapter {
 public:
  ScriptedTapAdapter(std::vector<bool> finds, bool install, bool mark, bool characteristics)
      : TapAdapter(L"C:\\unused", nullptr),
        finds_(std::move(finds)),
        install_(install),
        mark_(mark),
        characteristics_(characteristics) {}
  bool findOwnTapAdapter() override {
    calls += "find ";
    bool found = finds_.at(findCount_++);
    if (found) adapterGuid_ = guidOf(guidA);
    return found;
  }
  bool installTapAdapter() override { return (calls += "install ", install_); }
  bool markOwnAdapter() override { return (calls += "mark ", mark_); }
  bool setAdapterCharacteristics() override { return (calls += "characteristics ", characteristics_); }
  int moveAdapterFirstInBindOrder() override { return (calls += "bind", bindOrder::adapterNotListed); }
  std::string calls;

 private:
  std::vector<bool> finds_;
  size_t findCount_ = 0;
  bool install_, mark_, characteristics_;
};

struct ScriptCase {
  const char* name;
  std::vector<bool> finds;
  bool install, mark, characteristics;
  int status;
  const char* calls;
};

const ScriptCase scriptCases[] = {
    // The binding order's result never fails the step.
    {"Found", {true}, false, false, true, 0, "find characteristics bind"},
    {"Installed", {false, true}, true, true, true, 0, "find install mark find characteristics bind"},
    {"InstallFails", {false}, false, true, true, status::tapinstallFailed, "find install "},
    {"MarkFails", {false}, true, false, true, status::adapterMarkFailed, "find install mark "},
    {"StillNotFound", {false, false}, true, true, true, status::adapterNotFound, "find install mark find "},
    {"CharacteristicsFail", {true}, false, false, false, status::adapterCharacteristicsFailed, "find characteristics "},
    {"CharacteristicsFailAfterInstall",
     {false, true},
     true,
     true,
     false,
     status::adapterCharacteristicsFailed,
     "find install mark find characteristics "},
};

class PrepareOrderTable : public testing::TestWithParam<ScriptCase> {};

TEST_P(PrepareOrderTable, RunsTheStepsInOrderAndStopsAtTheFirstFailure) {
  const ScriptCase& c = GetParam();
  ScriptedTapAdapter tap(c.finds, c.install, c.mark, c.characteristics);
  EXPECT_EQ(tap.prepareTapAdapter(), c.status);
  EXPECT_EQ(tap.calls, c.calls);
}

INSTANTIATE_TEST_SUITE_P(Scripts, PrepareOrderTable, testing::ValuesIn(scriptCases),
                         [](const testing::TestParamInfo<ScriptCase>& info) { return info.param.name; });

}  // namespace
