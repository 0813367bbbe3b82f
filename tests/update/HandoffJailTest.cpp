#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "core/NumberError.h"
#include "core/Text.h"
#include "tests/support/win/TestFolder.h"
#include "update/win/UpdateHandoff.h"

namespace {

// The test process puts itself into a job that forbids breakaway, as a
// launcher or a sandbox may do to the client; that can't be undone, so this
// test has its executable to itself.
class JailedHandoffTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    jail_ = CreateJobObjectW(nullptr, nullptr);
    ASSERT_NE(jail_, nullptr);
    ASSERT_TRUE(AssignProcessToJobObject(jail_, GetCurrentProcess()));
  }
  void SetUp() override {
    folder_ = freshTestFolder(L"zav jailed start ");
    program_ = folder_ + L"\\stand in updater.exe";
    ASSERT_TRUE(writeWideFile(program_, builtFile("tests/updater_stand_in_client.exe")));
  }
  void TearDown() override { removeTestFolder(folder_); }

  static HANDLE jail_;
  std::wstring folder_;
  std::wstring program_;
};
HANDLE JailedHandoffTest::jail_ = nullptr;

TEST_F(JailedHandoffTest, TheUpdaterStartsInsideTheClientsJob) {
  UpdaterLaunch launch;
  try {
    launch = launchUpdater(program_, std::string(100, 'f'), GetCurrentProcess());
  } catch (const NumberError& error) {
    FAIL() << "the updater did not start: " << error.what();
  }
  BOOL inJail = FALSE;
  EXPECT_TRUE(IsProcessInJob(launch.process.get(), jail_, &inJail));
  EXPECT_TRUE(inJail);
  ASSERT_EQ(WaitForSingleObject(launch.process.get(), 20000), WAIT_OBJECT_0);
  EXPECT_EQ(fileOrNone(folder_ + L"\\starts.txt"), "2|\"" + toUtf8(program_) + "\" 104\n");
}

}  // namespace
