#pragma once

// One owner for each Windows handle: a kernel object (event, mutex, process,
// thread, job, mapping), a file, a search, a registry key or a mapped view.
// Move-only; the destructor closes. A failed close calls the reaction with the
// code given where the handle was taken: in the client the numbered fatal
// error, in the updater its own reaction. Header-only and free of the client's
// library, so the updater includes it too.
#include <windows.h>

#include <utility>

// As in core/FatalError.h, declared rather than included: only the client,
// which links it, names the reaction that calls it.
[[noreturn]] void fatalError(int code);

namespace winhandle {

// For the handles whose failed close has no number: the handle is let go.
constexpr int kNoCloseCode = 0;

struct Object {
  using Type = HANDLE;
  static Type empty() { return nullptr; }
  static bool close(Type value) { return CloseHandle(value) != 0; }
};

// CreateFileW's failure value is INVALID_HANDLE_VALUE, not null.
struct File {
  using Type = HANDLE;
  static Type empty() { return INVALID_HANDLE_VALUE; }
  static bool close(Type value) { return CloseHandle(value) != 0; }
};

struct Find {
  using Type = HANDLE;
  static Type empty() { return INVALID_HANDLE_VALUE; }
  static bool close(Type value) { return FindClose(value) != 0; }
};

struct Key {
  using Type = HKEY;
  static Type empty() { return nullptr; }
  static bool close(Type value) { return RegCloseKey(value) == ERROR_SUCCESS; }
};

struct View {
  using Type = void*;
  static Type empty() { return nullptr; }
  static bool close(Type value) { return UnmapViewOfFile(value) != 0; }
};

// The client's reaction: the fatal error numbered at the call site.
struct Fatal {
  static void closeFailed(int code) { fatalError(code); }
};

// The updater's reaction: it has no numbered errors and ends soon either way,
// so a failed close lets the handle go.
struct LetGo {
  static void closeFailed(int) {}
};

}  // namespace winhandle

template <class Kind, class Reaction>
class BasicWinHandle {
 public:
  using Type = typename Kind::Type;

  BasicWinHandle() = default;
  // closeCode: what the reaction is told when closing fails, or kNoCloseCode.
  BasicWinHandle(Type value, int closeCode) : value_(value), closeCode_(closeCode) {}
  ~BasicWinHandle() { reset(); }
  BasicWinHandle(BasicWinHandle&& other) noexcept : value_(other.release()), closeCode_(other.closeCode_) {}
  BasicWinHandle& operator=(BasicWinHandle&& other) noexcept {
    if (this != &other) {
      reset();
      closeCode_ = other.closeCode_;
      value_ = other.release();
    }
    return *this;
  }
  BasicWinHandle(const BasicWinHandle&) = delete;
  BasicWinHandle& operator=(const BasicWinHandle&) = delete;

  Type get() const { return value_; }
  explicit operator bool() const { return value_ != Kind::empty(); }

  // Gives the handle up without closing it.
  Type release() {
    Type value = value_;
    value_ = Kind::empty();
    return value;
  }

  // Closes now; a failed close calls the reaction unless it has no code.
  void reset() {
    if (!*this) return;
    if (!Kind::close(release()) && closeCode_ != winhandle::kNoCloseCode) Reaction::closeFailed(closeCode_);
  }

  // Closes now and says whether that worked, without the reaction: for a
  // close whose failure the caller reports in its own terms.
  bool close() { return !*this || Kind::close(release()); }

 private:
  Type value_ = Kind::empty();
  int closeCode_ = winhandle::kNoCloseCode;
};

// The client's holders.
using WinHandle = BasicWinHandle<winhandle::Object, winhandle::Fatal>;
using WinFile = BasicWinHandle<winhandle::File, winhandle::Fatal>;
using WinFind = BasicWinHandle<winhandle::Find, winhandle::Fatal>;
using WinKey = BasicWinHandle<winhandle::Key, winhandle::Fatal>;
using WinView = BasicWinHandle<winhandle::View, winhandle::Fatal>;
