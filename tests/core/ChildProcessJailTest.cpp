#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "core/QuoteArgument.h"
#include "core/win/ChildProcess.h"
#include "tests/support/win/ChildHelper.h"
#include "tests/support/win/TestFolder.h"

namespace {

using namespace std::chrono_literals;

// The test process puts itself into a job that forbids breakaway, as a
// launcher or a sandbox may do to the client. That can't be undone, so this
// test has its executable to itself.
class JailedClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    HANDLE jail = CreateJobObjectW(nullptr, nullptr);
    ASSERT_NE(jail, nullptr);
    ASSERT_TRUE(AssignProcessToJobObject(jail, GetCurrentProcess()));
    // The job handle stays open for the life of the process.
  }
};

TEST_F(JailedClientTest, BreakawayIsRefusedHere) {
  std::wstring line = childHelperCommand(L"--exit 0");
  std::vector<wchar_t> writable(line.begin(), line.end());
  writable.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  EXPECT_FALSE(CreateProcessW(childHelperPath().c_str(), writable.data(), nullptr, nullptr, FALSE,
                              CREATE_SUSPENDED | CREATE_BREAKAWAY_FROM_JOB | CREATE_NO_WINDOW, nullptr, nullptr,
                              &startup, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(JailedClientTest, ChildrenStillStartAndAreStillEndedWithTheirJob) {
  EXPECT_EQ(runAndWait(childHelperPath(), childHelperCommand(L"--exit 5")), 5u);

  std::unique_ptr<ChildProcess> ending = ChildProcess::create(childHelperPath(), childHelperCommand(L"--exit 6"));
  ASSERT_NE(ending, nullptr);
  std::promise<uint32_t> code;
  std::future<uint32_t> reported = code.get_future();
  ending->setExitCallback([&] { code.set_value(ending->exitCode()); });
  ASSERT_EQ(reported.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(reported.get(), 6u);

  std::wstring record = uniqueTempPath(L"record");
  std::unique_ptr<ChildProcess> sleeping =
      ChildProcess::create(childHelperPath(), childHelperCommand(L"--record " + quoteArgument(record) + L" --sleep 60000"));
  ASSERT_NE(sleeping, nullptr);
  ASSERT_TRUE(waitForFile(record, 30000));
  DWORD pid = recordedProcessId(record);
  sleeping.reset();
  EXPECT_TRUE(processEnds(pid, 30000)) << "our own job did not nest in the client's";
  DeleteFileW(record.c_str());
}

}  // namespace
