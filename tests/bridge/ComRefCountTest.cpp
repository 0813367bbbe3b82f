#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "bridge/win/ComRefCount.h"
#include "bridge/win/GuiInterfaces.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/FatalTrap.h"

namespace {

// A native object as the bridge makes them, with a queue standing in for the
// main thread's dispatcher.
struct OwnerQueue {
  std::mutex mutex;
  std::vector<std::function<void()>> tasks;
  void runAll() {
    std::vector<std::function<void()>> taken;
    {
      std::lock_guard<std::mutex> lock(mutex);
      taken.swap(tasks);
    }
    for (auto& task : taken) task();
  }
};

class SampleOperation : public ComObject<SampleOperation, IOperation> {
 public:
  SampleOperation(OwnerQueue& queue, std::thread::id& destroyedOn) : queue_(queue), destroyedOn_(destroyedOn) {}
  HRESULT STDMETHODCALLTYPE cancel() override { return S_OK; }
  void postToOwnerThread(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(queue_.mutex);
    queue_.tasks.push_back(std::move(task));
  }

 private:
  friend class ComObject<SampleOperation, IOperation>;
  ~SampleOperation() { destroyedOn_ = std::this_thread::get_id(); }
  OwnerQueue& queue_;
  std::thread::id& destroyedOn_;
};

TEST(ComObjectTest, answersIUnknownAndItsOwnInterfaceOnly) {
  OwnerQueue queue;
  std::thread::id destroyedOn;
  auto* operation = new SampleOperation(queue, destroyedOn);
  operation->AddRef();

  struct Case {
    const IID& iid;
    HRESULT result;
  } cases[] = {{__uuidof(IUnknown), S_OK},
               {__uuidof(IOperation), S_OK},
               {__uuidof(ILoginController), E_NOINTERFACE},
               {__uuidof(IOperationProgress), E_NOINTERFACE},
               {IID_IDispatch, E_NOINTERFACE}};
  for (const Case& c : cases) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(operation->QueryInterface(c.iid, &out), c.result);
    if (c.result == S_OK) {
      EXPECT_EQ(out, static_cast<IOperation*>(operation));
      EXPECT_EQ(operation->Release(), 1u);  // the reference the query added
    } else {
      EXPECT_EQ(out, nullptr);
    }
  }
  EXPECT_EQ(operation->QueryInterface(__uuidof(IOperation), nullptr), E_POINTER);
  EXPECT_EQ(operation->AddRef(), 2u);
  EXPECT_EQ(operation->Release(), 1u);
  EXPECT_EQ(operation->Release(), 0u);
  EXPECT_EQ(destroyedOn, std::this_thread::get_id());
}

TEST(ComObjectTest, lastReleaseOnAnotherThreadDestroysOnTheOwnersThread) {
  OwnerQueue queue;
  std::thread::id destroyedOn;
  auto* operation = new SampleOperation(queue, destroyedOn);
  operation->AddRef();
  std::thread worker([operation] { operation->Release(); });
  worker.join();
  EXPECT_EQ(destroyedOn, std::thread::id()) << "destroyed on the releasing worker";
  queue.runAll();
  EXPECT_EQ(destroyedOn, std::this_thread::get_id());
}

TEST(ComRefCountTest, logsCreationAndTheLastReleaseWithItsAddress) {
  CapturedDebugLog log;
  std::ostringstream address;
  {
    ComRefCount count;
    address << "@" << static_cast<const void*>(&count);
    count.addRef();
    count.addRef();
    EXPECT_EQ(count.release(), 1u);
    EXPECT_EQ(count.release(), 0u);
  }
  EXPECT_EQ(log.text(), address.str() + ": New \n" + address.str() + ": Free\n");
}

// A construction that throws after the count was made frees the object
// without its last release: the log says so once, and never "Free" as if a
// release had deleted it.
TEST(ComRefCountTest, logsTheEndOfOneNeverReleasedOnce) {
  CapturedDebugLog log;
  std::ostringstream address;
  for (int references : {0, 1}) {
    {
      ComRefCount count;
      address.str("");
      address << "@" << static_cast<const void*>(&count);
      for (int i = 0; i < references; ++i) count.addRef();
    }
    EXPECT_NE(log.text().find(address.str() + ": New \n" + address.str() + ": Free without release\n"),
              std::string::npos)
        << references << " references\n"
        << log.text();
  }
  EXPECT_EQ(log.text().find(": Free\n"), std::string::npos);
  EXPECT_EQ(unfreedComObjects(log.text()), std::vector<std::string>());
}

TEST(ComRefCountTest, releaseAtZeroIsFatal) {
  EXPECT_EQ(fatalCodeOf([] {
              ComRefCount count;
              count.release();
            }),
            131);
}

}  // namespace
