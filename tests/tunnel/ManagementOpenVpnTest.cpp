// The management line handling against a real OpenVPN (Debian's openvpn)
// connecting to a listener of this test as a management client. No server
// is needed: its remote is a UDP socket of this test that reads nothing.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/TestFiles.h"
#include "tunnel/ManagementProtocol.h"
#include "tunnel/OVPNConfig.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Kind = ManagementLineKind;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A started program, ended (TERM, then KILL) and reaped whatever the test does.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& outputPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() { end(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }

  // The exit status once ended by itself within timeoutMs, else -1.
  int wait(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pid_ > 0) {
      int status = 0;
      pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_ || done < 0) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (Clock::now() > deadline) return -1;
      usleep(10000);
    }
    return -1;
  }

  void end() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (wait(5000) >= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/zav-ovpn-XXXXXX";
    if (mkdtemp(name)) path_ = name;
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

uint16_t boundPort(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  return ntohs(address.sin_port);
}

int loopbackSocket(int type) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return fd;
  if (type == SOCK_STREAM) listen(fd, 1);
  return fd;
}

bool sendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// OpenVPN's own output, for the failure message.
std::string readFileText(const std::string& path) {
  try {
    return readFileBytes(path);
  } catch (const std::runtime_error&) {
    return "";
  }
}

struct Seen {
  std::string text;
  ManagementLine line;
};

bool contains(const std::vector<Seen>& seen, Kind kind, const std::string& text) {
  for (const Seen& s : seen)
    if (s.line.kind == kind && s.text == text) return true;
  return false;
}

TEST(ManagementWithOpenVpn, HoldCredentialsAndByteCounts) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string caKey = dir.path() + "/ca.key";
  const std::string caCert = dir.path() + "/ca.crt";
  const std::string output = dir.path() + "/output.txt";
  {
    Child openssl({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                   "-keyout", caKey, "-out", caCert, "-subj", "/CN=zav-test-ca", "-days", "2"},
                  output);
    ASSERT_TRUE(openssl.started());
    ASSERT_EQ(openssl.wait(20000), 0);
  }

  Fd listener(loopbackSocket(SOCK_STREAM));
  Fd remote(loopbackSocket(SOCK_DGRAM));  // OpenVPN's packets end here unread
  uint16_t managementPort = boundPort(listener.get());
  uint16_t remotePort = boundPort(remote.get());
  ASSERT_NE(managementPort, 0);
  ASSERT_NE(remotePort, 0);

  // The client's own lines as written on Windows; "dev null" opens no device,
  // so dev-node is read and left unused.
  const std::string serverText =
      "client\ndev null\nifconfig-noexec\nnobind\nauth-user-pass\nverb 3\n"
      "management-client\nmanagement-hold\nmanagement-query-passwords\nca " +
      caCert;
  const std::string configPath = dir.path() + "/client.conf";
  {
    std::ofstream config(configPath, std::ios::binary);
    config << openVpnConfigText(serverText, "127.0.0.1", remotePort, managementPort, true,
                                "{6C1B0F5E-2D3A-4B7C-8E9F-0A1B2C3D4E5F}");
  }

  Child openvpn({"openvpn", "--config", configPath}, output);
  ASSERT_TRUE(openvpn.started());
  pollfd waitAccept{listener.get(), POLLIN, 0};
  ASSERT_EQ(poll(&waitAccept, 1, 10000), 1) << readFileText(output);
  Fd connection(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_GE(connection.get(), 0);

  ManagementCommand credentials;
  ASSERT_TRUE(credentialsCommand("do\\main \"x\"", "p\\w\"", credentials));
  ManagementLineBuffer buffer;
  std::vector<Seen> seen;
  bool holdReleased = false;
  bool credentialsSent = false;
  int needBeforeRelease = 0;
  int byteCounts = 0;
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (byteCounts < 2 && Clock::now() < deadline) {
    pollfd readable{connection.get(), POLLIN, 0};
    if (poll(&readable, 1, 200) != 1) continue;
    char data[4096];
    ssize_t n = recv(connection.get(), data, sizeof data, 0);
    ASSERT_GT(n, 0) << "management connection closed\n" << readFileText(output);
    buffer.append(data, static_cast<size_t>(n));
    std::string text;
    ManagementLineBuffer::Next next;
    while ((next = buffer.next(text)) == ManagementLineBuffer::Next::line) {
      seen.push_back({text, classifyManagementLine(text)});
      switch (seen.back().line.kind) {
        case Kind::holdWaiting:
          ASSERT_TRUE(sendAll(connection.get(), holdReleaseCommand().bytes));
          holdReleased = true;
          break;
        case Kind::needCredentials:
          if (!holdReleased) ++needBeforeRelease;
          ASSERT_TRUE(sendAll(connection.get(), credentials.bytes));
          credentialsSent = true;
          break;
        case Kind::byteCount:
          if (credentialsSent) ++byteCounts;
          break;
        default:
          break;
      }
    }
    ASSERT_EQ(next, ManagementLineBuffer::Next::pending);
  }
  openvpn.end();

  std::string transcript;
  for (const Seen& s : seen) transcript += s.text + "\n";
  ASSERT_EQ(byteCounts, 2) << transcript;
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front().line.kind, Kind::notification);
  EXPECT_EQ(seen.front().line.key, "INFO");
  EXPECT_EQ(needBeforeRelease, 0);
  EXPECT_TRUE(contains(seen, Kind::text, "SUCCESS: hold release succeeded")) << transcript;
  EXPECT_TRUE(contains(seen, Kind::text, "SUCCESS: bytecount interval changed")) << transcript;
  // OpenVPN read each credentials line as one command, quoting and all.
  EXPECT_TRUE(contains(seen, Kind::text, "SUCCESS: 'Auth' username entered, but not yet verified")) << transcript;
  EXPECT_TRUE(contains(seen, Kind::text, "SUCCESS: 'Auth' password entered, but not yet verified")) << transcript;
  bool echoedUser = false;
  bool emptyFlags = false;
  for (const Seen& s : seen) {
    if (s.line.kind == Kind::log && s.line.value.find(",D,MANAGEMENT: CMD 'username \"Auth\" \"do\\\\main \\\"x\\\"\"'") !=
                                        std::string::npos)
      echoedUser = true;
    if (s.line.kind == Kind::log && s.line.value.find(",,") != std::string::npos) emptyFlags = true;
    if (s.line.kind == Kind::byteCount) {
      EXPECT_FALSE(s.line.toTranscript);
    }
    EXPECT_NE(s.line.kind, Kind::byteCountInvalid) << s.text;
  }
  EXPECT_TRUE(echoedUser) << transcript;
  EXPECT_TRUE(emptyFlags) << transcript;
}

}  // namespace
