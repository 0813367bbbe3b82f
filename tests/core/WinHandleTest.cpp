#include <gtest/gtest.h>
#include <windows.h>

#include <utility>

#include "core/win/WinHandle.h"
#include "tests/support/FatalTrap.h"

namespace {

struct RecordedFailure {
  static int code;
  static int calls;
  static void closeFailed(int failed) {
    code = failed;
    ++calls;
  }
};
int RecordedFailure::code = 0;
int RecordedFailure::calls = 0;

template <class Kind>
using Recorded = BasicWinHandle<Kind, RecordedFailure>;

bool isOpen(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != 0;
}

HANDLE newEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

// A value that was a handle a moment ago: closing it again fails.
HANDLE closedHandle() {
  HANDLE handle = newEvent();
  CloseHandle(handle);
  return handle;
}

HKEY closedKey() {
  HKEY key = nullptr;
  RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key);
  RegCloseKey(key);
  return key;
}

class WinHandleTest : public ::testing::Test {
 protected:
  void SetUp() override { RecordedFailure::code = RecordedFailure::calls = 0; }
};

TEST_F(WinHandleTest, ClosesOnceWhatItOwnsAndHandsOwnershipOnWhenMoved) {
  HANDLE event = newEvent();
  ASSERT_NE(event, nullptr);
  {
    WinHandle first(event, 1);
    WinHandle second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), event);
    WinHandle third;
    third = std::move(second);
    EXPECT_FALSE(second);
    EXPECT_TRUE(isOpen(event));
  }
  EXPECT_FALSE(isOpen(event));

  // Moving onto a holder closes what that holder had.
  HANDLE older = newEvent();
  HANDLE newer = newEvent();
  WinHandle kept(older, 1);
  kept = WinHandle(newer, 1);
  EXPECT_FALSE(isOpen(older));
  EXPECT_EQ(kept.get(), newer);

  HANDLE released = kept.release();
  EXPECT_FALSE(kept);
  EXPECT_TRUE(isOpen(released));
  CloseHandle(released);
}

TEST_F(WinHandleTest, AFailedCloseTellsTheReactionTheCodeOfItsSite) {
  { Recorded<winhandle::Object> handle(closedHandle(), 141); }
  EXPECT_EQ(RecordedFailure::code, 141);
  { Recorded<winhandle::Key> key(closedKey(), 7); }
  EXPECT_EQ(RecordedFailure::code, 7);
  int notAView = 0;
  { Recorded<winhandle::View> view(&notAView, 22); }
  EXPECT_EQ(RecordedFailure::code, 22);
  EXPECT_EQ(RecordedFailure::calls, 3);

  // No code: let go. close(): the caller hears of it instead.
  { Recorded<winhandle::Object> handle(closedHandle(), winhandle::kNoCloseCode); }
  Recorded<winhandle::Object> checked(closedHandle(), 5);
  EXPECT_FALSE(checked.close());
  EXPECT_FALSE(checked);
  EXPECT_EQ(RecordedFailure::calls, 3);
}

TEST_F(WinHandleTest, EmptyValuesAreNeverClosed) {
  { Recorded<winhandle::Object> none(nullptr, 1); }
  { Recorded<winhandle::File> none(INVALID_HANDLE_VALUE, 2); }
  { Recorded<winhandle::Find> none(INVALID_HANDLE_VALUE, 3); }
  Recorded<winhandle::File> file(INVALID_HANDLE_VALUE, 4);
  EXPECT_FALSE(file);
  EXPECT_TRUE(file.close());
  EXPECT_EQ(RecordedFailure::calls, 0);
}

TEST_F(WinHandleTest, TheClientsHoldersEndWithTheNumberedFatalError) {
  EXPECT_EQ(fatalCodeOf([] { WinHandle(closedHandle(), 83).reset(); }), 83);
  EXPECT_EQ(fatalCodeOf([] { WinKey(closedKey(), 44).reset(); }), 44);
  EXPECT_EQ(fatalCodeOf([] { WinHandle(closedHandle(), winhandle::kNoCloseCode).reset(); }), -1);
}

}  // namespace
