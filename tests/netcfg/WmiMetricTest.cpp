#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "netcfg/win/WmiInterfaceMetric.h"
#include "tests/netcfg/FakeWmi.h"
#include "tests/support/DebugLogReader.h"

namespace {

using namespace fakewmi;

const GUID adapter = {0x12345678, 0x9ABC, 0xDEF0, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}};
const wchar_t adapterText[] = L"{12345678-9ABC-DEF0-1234-56789ABCDEF0}";
const wchar_t firstMatchPath[] = L"\\\\HOST\\root\\cimv2:Win32_NetworkAdapterConfiguration.Index=4";

AdapterGuid adapterBytes() {
  AdapterGuid bytes;
  std::memcpy(bytes.data(), &adapter, sizeof adapter);
  return bytes;
}

// Fulfils its promise when the last copy of an access lets go of it.
struct AccessHeld {
  ~AccessHeld() { gone.set_value(); }
  std::promise<void> gone;
};

// The adapter class, its method's input signature, the instances (another
// adapter, a null and an unparsable "SettingID", then the adapter twice) and
// the method's output.
struct WmiWorld {
  WmiWorld() {
    locator.services = &services;
    services.classObject = &adapterClass;
    services.enumeration = &enumeration;
    services.output = &output;
    services.call = &call;
    adapterClass.inSignature = &signature;
    signature.spawned = &input;
    output.setNumber(L"ReturnValue", 0);
    addInstance(L"{00000000-1111-2222-3333-444444444444}", L"other");
    addInstance(nullptr, L"null");
    addInstance(L"not a guid", L"garbage");
    addInstance(adapterText, firstMatchPath);
    addInstance(adapterText, L"second match");
    locator.hangingCall = services.hangingCall = adapterClass.hangingCall = &hang;
    signature.hangingCall = call.hangingCall = enumeration.hangingCall = &hang;
  }
  ClassObject& addInstance(const wchar_t* settingId, const wchar_t* path) {
    instances.push_back(std::make_unique<ClassObject>());
    ClassObject& instance = *instances.back();
    if (settingId) {
      instance.setText(L"SettingID", settingId);
    } else {
      instance.setNull(L"SettingID");
    }
    instance.setText(L"__PATH", path);
    enumeration.instances.push_back(&instance);
    return instance;
  }
  void fail(Step step) {
    switch (step) {
      case Step::locator: failLocator = true; break;
      case Step::connect: locator.services = nullptr; break;
      case Step::blanket: failBlanket = true; break;
      case Step::getClass: services.classObject = nullptr; break;
      case Step::getMethod: adapterClass.inSignature = nullptr; break;
      case Step::spawn: signature.spawned = nullptr; break;
      case Step::put: input.failPut = true; break;
      case Step::enumerate: services.enumeration = nullptr; break;
      case Step::next: enumeration.failAt = 2; break;
      case Step::getPath: instances[3]->failGet = L"__PATH"; break;
      case Step::execMethod: services.output = nullptr; break;
      case Step::getReturnValue: output.failGet = L"ReturnValue"; break;
      case Step::none: break;
    }
  }
  // accessGone is ready once this access and every copy of it are gone.
  WmiAccess access() {
    auto held = std::make_shared<AccessHeld>();
    accessGone = held->gone.get_future();
    WmiAccess wmi;
    wmi.waitMs = waitMs;
    wmi.createLocator = [this, held](IWbemLocator** result) {
      if (failLocator || hang.hangsIn(Call::createLocator)) return REGDB_E_CLASSNOTREG;
      locator.AddRef();
      *result = &locator;
      return S_OK;
    };
    wmi.setProxyBlanket = [this](IWbemServices* proxy) {
      blanketOn = proxy;
      return failBlanket || hang.hangsIn(Call::blanket) ? E_ACCESSDENIED : S_OK;
    };
    return wmi;
  }
  std::vector<IUnknown*> objects() {
    std::vector<IUnknown*> all = {&locator, &services, &adapterClass, &signature, &input, &output, &call, &enumeration};
    for (auto& instance : instances) all.push_back(instance.get());
    return all;
  }

  Locator locator;
  Services services;
  ClassObject adapterClass;
  ClassObject signature;
  ClassObject input;
  ClassObject output;
  CallResult call;
  Enumeration enumeration;
  std::vector<std::unique_ptr<ClassObject>> instances;
  bool failLocator = false;
  bool failBlanket = false;
  LONG waitMs = 10000;
  IWbemServices* blanketOn = nullptr;
  HangingCall hang;
  std::future<void> accessGone;
};

// Waits (bounded) until no thread holds the world's access any more.
bool accessLetGo(WmiWorld& world) {
  return world.accessGone.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
}

void expectAllReleased(WmiWorld& world) {
  for (IUnknown* object : world.objects()) {
    object->AddRef();
    EXPECT_EQ(object->Release(), 1u) << "every reference taken is released";
  }
}

struct MetricCase {
  const char* name;
  Step failing;
  std::function<void(WmiWorld&)> change;
  int code;
  const char* log;
};

TEST(WmiMetricTest, ResultCodes) {
  const MetricCase cases[] = {
      {"ReturnValueZero", Step::none, nullptr, 0, "SetIPConnectionMetric: 0\n"},
      {"ReturnValueOneNeedsReboot", Step::none, [](WmiWorld& w) { w.output.setNumber(L"ReturnValue", 1); }, 0,
       "SetIPConnectionMetric: 1\n"},
      {"LocatorNotCreated", Step::locator, nullptr, 1, ""},
      {"ConnectServerFails", Step::connect, nullptr, 2, ""},
      {"ProxyBlanketFails", Step::blanket, nullptr, 3, ""},
      {"ClassNotFetched", Step::getClass, nullptr, 4, ""},
      {"NoInputSignature", Step::getMethod, nullptr, 5, ""},
      {"InputNotSpawned", Step::spawn, nullptr, 6, ""},
      {"MetricNotPut", Step::put, nullptr, 7, ""},
      {"NoEnumeration", Step::enumerate, nullptr, 8, ""},
      {"NextFails", Step::next, nullptr, 9, ""},
      {"PathUnreadable", Step::getPath, nullptr, 10, ""},
      {"PathNotText", Step::none, [](WmiWorld& w) { w.instances[3]->setNumber(L"__PATH", 4); }, 11, ""},
      {"ExecMethodFails", Step::execMethod, nullptr, 12, ""},
      {"ExecMethodRefused", Step::none, [](WmiWorld& w) { w.services.call = nullptr; }, 12, ""},
      {"ReturnValueUnreadable", Step::getReturnValue, nullptr, 13, ""},
      {"ReturnValueNotInteger", Step::none, [](WmiWorld& w) { w.output.setText(L"ReturnValue", L"0"); }, 14, ""},
      {"ReturnValueTwo", Step::none, [](WmiWorld& w) { w.output.setNumber(L"ReturnValue", 2); }, 15, "SetIPConnectionMetric: 2\n"},
      {"ReturnValueNegative", Step::none, [](WmiWorld& w) { w.output.setNumber(L"ReturnValue", -1); }, 15,
       "SetIPConnectionMetric: -1\n"},
      // The end of the enumeration is no failed Next.
      {"NoInstanceMatches", Step::none, [](WmiWorld& w) { w.enumeration.instances.resize(3); }, 16, ""},
      {"NoInstancesAtAll", Step::none, [](WmiWorld& w) { w.enumeration.instances.clear(); }, 16, ""},
      {"SettingIdNotText", Step::none, [](WmiWorld& w) { w.instances[3]->setNumber(L"SettingID", 7); w.instances[4]->setNull(L"SettingID"); }, 16, ""},
      {"LowercaseSettingIdMatches", Step::none,
       [](WmiWorld& w) { w.instances[3]->setText(L"SettingID", L"{12345678-9abc-def0-1234-56789abcdef0}"); }, 0,
       "SetIPConnectionMetric: 0\n"},
  };
  for (const bool onItsOwnThread : {false, true}) {
    for (const MetricCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (onItsOwnThread ? " on its own thread" : ""));
      WmiWorld world;
      world.fail(c.failing);
      if (c.change) c.change(world);
      CapturedDebugLog log;
      if (onItsOwnThread) {
        EXPECT_EQ(WmiInterfaceMetric(world.access()).setIpConnectionMetric(adapterBytes()), c.code);
      } else {
        EXPECT_EQ(setIpConnectionMetric(world.access(), adapter), c.code);
      }
      ASSERT_TRUE(accessLetGo(world));
      EXPECT_EQ(log.text(), c.log);
      expectAllReleased(world);
    }
  }
}

// A WMI that never answers costs one wait's limit and fails its step.
TEST(WmiMetricTest, AWaitThatHangsEndsAtItsLimit) {
  const MetricCase cases[] = {
      {"FirstNextHangs", Step::none, [](WmiWorld& w) { w.enumeration.hangAt = 1; }, 9, ""},
      {"NextBeforeTheMatchHangs", Step::none, [](WmiWorld& w) { w.enumeration.hangAt = 4; }, 9, ""},
      {"MethodNeverEnds", Step::none, [](WmiWorld& w) { w.call.hangStatus = true; }, 12, ""},
      {"OutputNeverComes", Step::none, [](WmiWorld& w) { w.call.hangResult = true; }, 12, ""},
  };
  for (const MetricCase& c : cases) {
    SCOPED_TRACE(c.name);
    WmiWorld world;
    world.waitMs = 200;
    c.change(world);
    CapturedDebugLog log;
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(setIpConnectionMetric(world.access(), adapter), c.code);
    EXPECT_LT(GetTickCount64() - start, 5000u);
    EXPECT_EQ(log.text(), c.log);
    for (LONG timeout : world.enumeration.timeouts) EXPECT_EQ(timeout, 200);
    for (LONG timeout : world.call.timeouts) EXPECT_EQ(timeout, 200);
    expectAllReleased(world);
  }
}

// A WMI that hangs in any call of the step, whatever time limit the call was
// given, costs the caller the step's limit. The step's thread, left behind,
// lets go of everything once the call comes back.
TEST(WmiMetricTest, AStepThatHangsIsLeftAtItsLimit) {
  const struct {
    const char* name;
    Call call;
  } cases[] = {
      {"LocatorCreation", Call::createLocator},
      {"ConnectServer", Call::connect},
      {"ProxyBlanket", Call::blanket},
      {"GetObject", Call::getClass},
      {"GetMethod", Call::getMethod},
      {"SpawnInstance", Call::spawn},
      {"CreateInstanceEnum", Call::enumerate},
      {"Next", Call::next},
      {"ExecMethod", Call::execMethod},
      {"GetCallStatus", Call::callStatus},
      {"GetResultObject", Call::resultObject},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto world = std::make_unique<WmiWorld>();
    world->hang.hanging = c.call;
    CapturedDebugLog log;
    const int code = WmiInterfaceMetric(world->access(), 200).setIpConnectionMetric(adapterBytes());
    EXPECT_FALSE(world->hang.released()) << "returned only once the hanging call came back";
    EXPECT_EQ(code, WmiInterfaceMetric::timedOut);
    EXPECT_TRUE(world->hang.entered(60000)) << "the step never reached the call that hangs";
    world->hang.release();
    if (!accessLetGo(*world)) {
      ADD_FAILURE() << "the step's thread still holds the fakes";
      world.release();  // still in use: never freed
      continue;
    }
    EXPECT_EQ(log.text(), "SetIPConnectionMetric: still running after 200 ms\n");
    expectAllReleased(*world);
  }
}

TEST(WmiMetricTest, TheCallAsWmiSeesIt) {
  WmiWorld world;
  ASSERT_EQ(setIpConnectionMetric(world.access(), adapter), 0);
  EXPECT_EQ(world.locator.namespaceAsked, L"root\\cimv2");
  EXPECT_EQ(world.blanketOn, &world.services);
  EXPECT_EQ(world.services.classAsked, L"Win32_NetworkAdapterConfiguration");
  EXPECT_EQ(world.adapterClass.methodAsked, L"SetIPConnectionMetric");
  const VARIANT& metric = world.input.properties.at(L"IPConnectionMetric");
  EXPECT_EQ(metric.vt, VT_I4);
  EXPECT_EQ(metric.lVal, 1);
  EXPECT_EQ(world.services.enumeratedClass, L"Win32_NetworkAdapterConfiguration");
  EXPECT_EQ(world.services.enumerationFlags, WBEM_FLAG_FORWARD_ONLY);
  // Only the first matching instance gets the method.
  EXPECT_EQ(world.services.execPaths, std::vector<std::wstring>{firstMatchPath});
  EXPECT_EQ(world.services.execMethod, L"SetIPConnectionMetric");
  EXPECT_EQ(world.services.execInput, &world.input);
  EXPECT_EQ(world.enumeration.calls, 4);
  EXPECT_EQ(world.enumeration.timeouts, std::vector<LONG>(4, 10000));
  EXPECT_EQ(world.call.timeouts, (std::vector<LONG>{10000, 10000}));
}

// The caller's thread is left as it was: the step runs on another one, in the
// multithreaded apartment.
TEST(WmiMetricTest, TheStepRunsInTheMultithreadedApartment) {
  WmiWorld world;
  {
    WmiAccess access = world.access();
    APTTYPE seen = APTTYPE_CURRENT;
    DWORD stepThread = 0;
    HRESULT before = S_OK;
    HRESULT after = S_OK;
    DWORD callingThread = 0;
    auto create = access.createLocator;
    access.createLocator = [&seen, &stepThread, create](IWbemLocator** result) {
      stepThread = GetCurrentThreadId();
      APTTYPEQUALIFIER qualifier;
      if (FAILED(CoGetApartmentType(&seen, &qualifier))) seen = APTTYPE_CURRENT;
      return create(result);
    };
    int code = -1;
    std::thread worker([&] {
      callingThread = GetCurrentThreadId();
      APTTYPE type;
      APTTYPEQUALIFIER qualifier;
      before = CoGetApartmentType(&type, &qualifier);
      WmiInterfaceMetric metric(access);
      code = metric.setIpConnectionMetric(adapterBytes());
      code = code == 0 ? metric.setIpConnectionMetric(adapterBytes()) : code;
      after = CoGetApartmentType(&type, &qualifier);
    });
    worker.join();
    EXPECT_EQ(before, CO_E_NOTINITIALIZED);
    EXPECT_EQ(after, CO_E_NOTINITIALIZED);
    EXPECT_EQ(seen, APTTYPE_MTA);
    EXPECT_NE(stepThread, callingThread);
    EXPECT_EQ(code, 0);
  }
  ASSERT_TRUE(accessLetGo(world));
}

}  // namespace
