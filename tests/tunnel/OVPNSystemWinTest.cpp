// The Windows calls behind the start of OpenVPN: the configuration file in
// its admin-only folder, and who owns a loopback connection.
#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/QuoteArgument.h"
#include "core/Text.h"
#include "core/win/AdminOnlyFolder.h"
#include "core/win/LinkChecks.h"
#include "core/win/System.h"
#include "tests/support/win/ChildHelper.h"
#include "tests/support/win/SeenFolders.h"
#include "tests/support/win/SocketBytes.h"
#include "tests/support/win/TestFolder.h"
#include "tunnel/OVPNSystem.h"
#include "tunnel/win/OVPNSystemWin.h"

namespace {

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Who may do what, as the object's DACL says: one line per entry, "SY", "BA"
// or "other", "allow" or "deny", and whether it grants any kind of write.
struct AccessList {
  bool read = false;
  bool isProtected = false;
  std::vector<std::string> entries;
};

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof buffer;
  return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer);
}

AccessList accessListOf(const std::wstring& path) {
  AccessList list;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &descriptor) != ERROR_SUCCESS)
    return list;
  list.read = dacl != nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetSecurityDescriptorControl(descriptor, &control, &revision)) list.isProtected = control & SE_DACL_PROTECTED;
  const ACCESS_MASK anyWrite = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                               FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
    // Allowed and denied entries lay out mask and SID alike.
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    PSID sid = &ace->SidStart;
    std::string who = isWellKnown(sid, WinLocalSystemSid)             ? "SY"
                      : isWellKnown(sid, WinBuiltinAdministratorsSid) ? "BA"
                                                                      : "other";
    std::string kind = header->AceType == ACCESS_ALLOWED_ACE_TYPE  ? "allow"
                       : header->AceType == ACCESS_DENIED_ACE_TYPE ? "deny"
                                                                   : "type " + std::to_string(header->AceType);
    list.entries.push_back(who + " " + kind + ((ace->Mask & anyWrite) ? " write" : " no-write"));
  }
  LocalFree(descriptor);
  return list;
}

class OVPNSystemWinTest : public testing::Test {
 protected:
  void SetUp() override { parent_ = freshTestFolder(L"ovpn system"); }
  void TearDown() override { removeTestFolder(parent_); }

  std::wstring parent_;
};

// The text's bytes exactly: no byte-order mark, no newline translation.
TEST_F(OVPNSystemWinTest, ConfigFileHoldsTheTextsBytesInAFolderOfItsOwn) {
  const std::string texts[] = {
      "client\nremote 10.0.0.1 1194\nmanagement 127.0.0.1 50123\nproto udp\ndev-node {X}\n",
      "",
      "crlf\r\nlone cr\rend",
      std::string("\xC3\xA4\xE2\x82\xAC nul \0 inside", 17),
  };
  OVPNSystemWin system(parent_);
  for (const std::string& text : texts) {
    std::unique_ptr<OVPNConfigFile> file = system.writeConfigFile(text);
    ASSERT_TRUE(file);
    std::wstring folder = parentFolder(file->path());
    EXPECT_EQ(parentFolder(folder), parent_);
    EXPECT_EQ(readWideFile(file->path()), text);
    // Held for reading only while in use: no one changes or removes it.
    HANDLE writer = CreateFileW(file->path().c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    EXPECT_FALSE(DeleteFileW(file->path().c_str()));
    file.reset();
    EXPECT_FALSE(exists(folder)) << "the folder stays behind";
  }
  // Each file has a new folder.
  std::unique_ptr<OVPNConfigFile> first = system.writeConfigFile("a");
  std::unique_ptr<OVPNConfigFile> second = system.writeConfigFile("b");
  ASSERT_TRUE(first && second);
  EXPECT_NE(parentFolder(first->path()), parentFolder(second->path()));
}

// Whether this system keeps a new folder's access list as given, with the
// owner Administrators that the admin-only folder asks for. Wine 8 drops the
// whole list then and gives the folder its default one (SYSTEM and the user),
// and it keeps no "protected" flag.
bool keepsAdminOnlyLists(const std::wstring& parent) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &descriptor,
                                                            nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  std::wstring probe = joinPath(parent, L"acl probe");
  bool made = CreateDirectoryW(probe.c_str(), &attributes);
  LocalFree(descriptor);
  if (!made) return false;
  AccessList list = accessListOf(probe);
  RemoveDirectoryW(probe.c_str());
  return list.isProtected && list.entries == std::vector<std::string>{"SY allow write", "BA allow write"};
}

TEST_F(OVPNSystemWinTest, ConfigFolderIsWritableByAdministratorsAndSystemOnly) {
  if (!keepsAdminOnlyLists(parent_)) GTEST_SKIP() << "this system does not keep an admin-only access list";
  OVPNSystemWin system(parent_);
  std::unique_ptr<OVPNConfigFile> file = system.writeConfigFile("client\n");
  ASSERT_TRUE(file);
  const std::vector<std::string> adminOnly = {"SY allow write", "BA allow write"};
  AccessList folder = accessListOf(parentFolder(file->path()));
  ASSERT_TRUE(folder.read);
  EXPECT_TRUE(folder.isProtected) << "inherits from the user's folder";
  EXPECT_EQ(folder.entries, adminOnly);
  // The file takes its folder's entries.
  EXPECT_EQ(accessListOf(file->path()).entries, adminOnly);
}

// TMP and TEMP are the user's to set: by default the files go below the
// Windows folder's Temp, never where those point.
TEST_F(OVPNSystemWinTest, ByDefaultFilesGoBelowTheWindowsFoldersTemp) {
  std::unique_ptr<OVPNConfigFile> config;
  std::unique_ptr<OVPNInstallerFile> installer;
  {
    UserTempFolder user(parent_);
    OVPNSystemWin system;
    config = system.writeConfigFile("client\n");
    installer = system.writeInstaller("MZ");
  }
  ASSERT_TRUE(config && installer);
  EXPECT_TRUE(samePath(parentFolder(parentFolder(config->path())), systemTempFolder())) << toUtf8(config->path());
  EXPECT_TRUE(samePath(parentFolder(parentFolder(installer->path())), systemTempFolder()))
      << toUtf8(installer->path());
  EXPECT_EQ(readWideFile(installer->path()), "MZ");
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(joinPath(parent_, L"*").c_str(), &found);
  bool empty = true;
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (found.cFileName[0] != L'.') empty = false;
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  EXPECT_TRUE(empty) << "something went to the user's temporary folder";
}

// OpenVPN and its installer run elevated: each in a new admin-only folder of
// its own below the given parent (current folder, TMP and TEMP), whatever the
// user's own TMP and TEMP; the folder goes with the process. Not the folder of
// its file: the configuration file goes while OpenVPN still runs.
TEST_F(OVPNSystemWinTest, EachProgramRunsInAnAdminOnlyFolderOfItsOwn) {
  const std::wstring userTemp = freshTestFolder(L"user temp ");
  const std::wstring record = joinPath(userTemp, L"folders.txt");
  OVPNSystemWin system(parent_);
  std::unique_ptr<OVPNConfigFile> config = system.writeConfigFile("client\n");
  ASSERT_TRUE(config);
  std::wstring previous;
  for (const wchar_t* then : {L"", L" --sleep 60000"}) {
    SCOPED_TRACE(toUtf8(then));
    std::unique_ptr<OVPNProcess> process;
    {
      UserTempFolder user(userTemp);
      process = system.startProgram(childHelperPath(),
                                    childHelperCommand(L"--folders " + quoteArgument(record) + then));
    }
    ASSERT_TRUE(process);
    ASSERT_TRUE(waitForFile(record, 30000));
    const SeenFolders seen = readSeenFolders(record);
    DeleteFileW(record.c_str());
    const std::wstring& folder = seen.current;
    EXPECT_EQ(seen, (SeenFolders{folder, folder, folder}));
    EXPECT_TRUE(samePath(parentFolder(folder), parent_)) << toUtf8(folder);
    EXPECT_FALSE(samePath(folder, parentFolder(config->path())));
    EXPECT_FALSE(samePath(folder, previous));
    previous = folder;
    // Gone with the process, also with one that was still running.
    process.reset();
    EXPECT_FALSE(exists(folder));
  }
  removeTestFolder(userTemp);
}

TEST_F(OVPNSystemWinTest, ConfigFileNotWrittenWhereNoFolderCanBeMade) {
  OVPNSystemWin system(parent_ + L"\\missing");
  EXPECT_FALSE(system.writeConfigFile("client\n"));
}

class ProcessWithId : public OVPNProcess {
 public:
  explicit ProcessWithId(uint32_t id) : id_(id) {}
  void setExitCallback(std::function<void()>) override {}
  uint32_t exitCode() const override { return 1; }
  uint32_t processId() const override { return id_; }

 private:
  uint32_t id_;
};

// This process connects to a listener of its own on loopback: the connection
// is its own, and no other process's; an unknown pair of ports is nobody's.
TEST(OVPNSystemWinConnectionTest, LoopbackConnectionBelongsToTheProcessThatOpenedIt) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  SOCKET server = socket(AF_INET, SOCK_STREAM, 0);
  SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(server, 1), 0);
  address.sin_port = htons(localPortOf(server));
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  SOCKET accepted = accept(server, nullptr, nullptr);
  ASSERT_NE(accepted, INVALID_SOCKET);
  // Wine names a socket's owner only once the owner has sent on it (before,
  // the socket is the wineserver's and its row says process 0).
  char byte = 'x';
  ASSERT_EQ(send(client, &byte, 1, 0), 1);
  ASSERT_EQ(recv(accepted, &byte, 1, 0), 1);
  uint16_t listenerPort = localPortOf(server);
  uint16_t clientPort = localPortOf(client);

  OVPNSystemWin system;
  EXPECT_TRUE(system.isConnectionOf(ProcessWithId(GetCurrentProcessId()), listenerPort, clientPort));
  EXPECT_FALSE(system.isConnectionOf(ProcessWithId(GetCurrentProcessId() + 4), listenerPort, clientPort));
  EXPECT_FALSE(system.isConnectionOf(ProcessWithId(GetCurrentProcessId()), listenerPort,
                                     static_cast<uint16_t>(clientPort + 1)));
  closesocket(accepted);
  closesocket(client);
  closesocket(server);
  WSACleanup();
}

}  // namespace
