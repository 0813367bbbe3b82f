#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

#include "core/Text.h"
#include "core/win/System.h"
#include "tests/support/TestFiles.h"
#include "update/UpdateManifest.h"

namespace {

std::string built(const std::string& relative) {
  return hostPath(std::string(std::getenv("ZAV_BINARY_DIR")) + "/" + relative);
}

void putFile(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

std::string fileOrNone(const std::wstring& path) {
  try {
    return readFileBytes(toUtf8(path));
  } catch (const std::exception&) {
    return "<none>";
  }
}

// The client's side of the hand-off, run for real in a folder of its own:
// the client program there is a copy of update_handoff_client.
class Handoff : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = tempFolder() + L"zav handoff " + fromUtf8(::testing::UnitTest::GetInstance()->current_test_info()->name());
    try {
      deleteTree(folder_);
    } catch (const std::exception&) {
    }
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    program_ = folder_ + L"\\zav client.exe";
    putFile(program_, readFileBytes(built("tests/update_handoff_client.exe")));
    putFile(folder_ + L"\\old.txt", "old");
    standIn_ = folder_ + L"\\stand-in.bin";
    putFile(standIn_, readFileBytes(built("tests/updater_stand_in_client.exe")));
  }
  void TearDown() override {
    for (int attempt = 0; attempt < 50; ++attempt) {
      try {
        deleteTree(folder_);
        return;
      } catch (const std::exception&) {
        Sleep(100);
      }
    }
  }

  // Starts the client with the updater content given and waits for its end.
  DWORD runClient(const std::wstring& updaterContent) {
    std::wstring commandLine = L"\"" + program_ + L"\" \"" + updaterContent + L"\" \"" + standIn_ + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    EXPECT_TRUE(CreateProcessW(program_.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder_.c_str(),
                               &startup, &started));
    CloseHandle(started.hThread);
    DWORD waited = WaitForSingleObject(started.hProcess, 30000);
    EXPECT_EQ(waited, WAIT_OBJECT_0) << "the client is still waiting";
    if (waited != WAIT_OBJECT_0) TerminateProcess(started.hProcess, 9);
    DWORD code = 9;
    GetExitCodeProcess(started.hProcess, &code);
    CloseHandle(started.hProcess);
    return code;
  }
  std::string starts() const {
    for (int i = 0; i < 200; ++i) {
      std::string text = fileOrNone(folder_ + L"\\starts.txt");
      if (text != "<none>") return text;
      Sleep(50);
    }
    return "<none>";
  }

  std::wstring folder_;
  std::wstring program_;
  std::wstring standIn_;
};

TEST_F(Handoff, TheUpdaterEndsTheClientAppliesTheUpdateAndStartsTheNewClient) {
  std::wstring updater = folder_ + L"\\updater.bin";
  putFile(updater, readFileBytes(built("dist/updater.exe")));
  EXPECT_EQ(runClient(updater), 0u) << "not ended by the updater";
  EXPECT_EQ(starts(), "1|\"" + toUtf8(program_) + "\"\n");
  EXPECT_EQ(fileOrNone(program_), fileOrNone(standIn_));
  EXPECT_EQ(fileOrNone(folder_ + L"\\lib.dll"), "lib");
  EXPECT_EQ(fileOrNone(folder_ + L"\\old.txt"), "<none>");
  EXPECT_EQ(fileOrNone(folder_ + L"\\ZAV.upd"), fileOrNone(updater));
}

// An updater that stops before ending the client must not leave the client
// waiting for ever with the single-instance mutex.
TEST_F(Handoff, TheClientEndsItselfWhenTheUpdaterStopsFirst) {
  EXPECT_EQ(runClient(standIn_), 1u);
  std::string line = starts();
  std::string prefix = "2|\"" + toUtf8(folder_ + L"\\ZAV.upd") + "\" ";
  ASSERT_EQ(line.substr(0, prefix.size()), prefix);
  EXPECT_GT(std::stoul(line.substr(prefix.size())), 4u);
  EXPECT_EQ(fileOrNone(folder_ + L"\\old.txt"), "old");
}

}  // namespace
