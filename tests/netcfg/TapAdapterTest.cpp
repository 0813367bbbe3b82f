#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/NumberError.h"
#include "core/Text.h"
#include "core/win/System.h"
#include "core/win/WinHandle.h"
#include "netcfg/win/TapAdapter.h"
#include "tests/support/DebugLogReader.h"
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

}  // namespace
