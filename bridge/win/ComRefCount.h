#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <functional>
#include <mutex>
#include <thread>

// The reference count of a native COM object handed to the GUI. Creation and
// the last release are logged with the count's address; so is the end of one
// that never had its last release (its construction threw).
class ComRefCount {
 public:
  ComRefCount();
  ~ComRefCount();
  ComRefCount(const ComRefCount&) = delete;
  ComRefCount& operator=(const ComRefCount&) = delete;

  ULONG addRef();
  // Raises the count unless it is 0 (an object on its way out); whether it did.
  bool addRefUnlessZero();
  // A release at count 0 is fatal: some holder released twice.
  ULONG release();

 private:
  std::mutex mutex_;
  int count_ = 0;
  bool freeLogged_ = false;
};

// IUnknown of a native object that answers IUnknown and exactly one interface.
// Derived provides postToOwnerThread(std::function<void()>): the last Release
// may come from a worker thread (a download listener, a posted task dropped
// there), while the destructor releases GUI interfaces and joins workers, so
// it always runs on the thread that made the object.
template <class Derived, class Interface>
class ComObject : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(Interface)) {
      *out = static_cast<Interface*>(this);
      refCount_.addRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refCount_.addRef(); }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = refCount_.release();
    if (left == 0) destroy();
    return left;
  }

 protected:
  ComObject() : ownerThread_(std::this_thread::get_id()) {}
  ~ComObject() = default;

  // For code that reaches this object through a plain pointer (a
  // subscription): a counted reference, or null once the count has reached 0,
  // when the destruction may already be on its way from another thread.
  Microsoft::WRL::ComPtr<Derived> selfUnlessGoing() {
    if (!refCount_.addRefUnlessZero()) return nullptr;
    Microsoft::WRL::ComPtr<Derived> self(static_cast<Derived*>(this));
    refCount_.release();  // the pointer took one of its own
    return self;
  }

 private:
  void destroy() {
    Derived* self = static_cast<Derived*>(this);
    if (std::this_thread::get_id() == ownerThread_) {
      destroyNow(self);
      return;
    }
    self->postToOwnerThread([self] { destroyNow(self); });
  }
  // Derived is the most derived type (no class derives from a native object),
  // so its own destructor is the right one although it is not virtual.
  static void destroyNow(Derived* self) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"
    delete self;
#pragma GCC diagnostic pop
  }

  std::thread::id ownerThread_;
  ComRefCount refCount_;
};
