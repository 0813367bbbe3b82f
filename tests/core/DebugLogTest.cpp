#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "BuildConfig.h"
#include "core/DebugLog.h"
#include "core/FatalError.h"
#include "tests/support/FatalTrap.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/TestFiles.h"

namespace {

class DebugLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = "debuglog-test-" + std::to_string(std::random_device{}()) + ".dat";
    FILE* file = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    startDebugLog(file, buildconfig::logKeyPem);
  }
  void TearDown() override {
    startDebugLog(nullptr, buildconfig::logKeyPem);  // closes the file
    std::remove(path_.c_str());
  }
  std::string plainText() { return decryptDebugLog(readFileBytes(path_)); }
  std::string path_;
};

TEST_F(DebugLogTest, HeaderIsOneRsaBlockAndEmptyWritesAddNothing) {
  writeDebugLog("");
  EXPECT_EQ(readFileBytes(path_).size(), 256u);
  EXPECT_EQ(plainText(), "");
}

TEST_F(DebugLogTest, TextsComeBackConcatenatedAcrossBlockBoundaries) {
  // Pieces that end exactly on, just before and just after 16-byte boundaries,
  // and enough text for byte 0 of the counter to wrap into byte 1.
  std::vector<std::string> texts = {std::string(16, 'a'), std::string(15, 'b'), std::string(17, 'c'), "x",
                                    std::string(32, 'd')};
  for (int i = 0; i < 400; ++i) texts.push_back("line " + std::to_string(i) + " \xE4\xB8\xAD\n");
  std::string expected;
  for (const std::string& text : texts) {
    writeDebugLog(text);
    expected += text;
  }
  ASSERT_GT(expected.size(), 256u * 16u);
  EXPECT_EQ(plainText(), expected);
}

TEST_F(DebugLogTest, LinesFromManyThreadsStayWhole) {
  constexpr int kThreads = 6, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int n = 0; n < kLines; ++n) writeDebugLog("thread " + std::to_string(t) + " line " + std::to_string(n) + "\n");
    });
  for (auto& thread : threads) thread.join();

  std::istringstream lines(plainText());
  std::vector<int> next(kThreads, 0);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    int t = -1, n = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &t, &n), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(n, next[t]++) << "thread " << t << " out of order";
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

#ifndef _WIN32
// The reader the key holder uses, run on a log made here; enough text for
// byte 0 of the counter to wrap.
TEST_F(DebugLogTest, TheReadLogToolGivesBackTheText) {
  std::string expected;
  for (int i = 0; i < 300; ++i) {
    std::string line = "tool line " + std::to_string(i) + " \xE4\xB8\xAD\n";
    writeDebugLog(line);
    expected += line;
  }
  const char* source = std::getenv("ZAV_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  std::string command = std::string("timeout 60 /usr/bin/python3 '") + source + "/tools/readlog.py' '" + path_ + "' '" +
                        testKeyPath("log-test-private.pem") + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(output, expected);
}
#endif

TEST(DebugLogCounterTest, CountsLittleEndianAndWraps) {
  struct Case {
    std::vector<unsigned char> before, after;  // leading bytes; the rest stay zero
  } cases[] = {
      {{0x00}, {0x01}},
      {{0xFE, 0x07}, {0xFF, 0x07}},
      {{0xFF, 0x00}, {0x00, 0x01}},
      {{0xFF, 0xFF, 0x12}, {0x00, 0x00, 0x13}},
  };
  for (const Case& c : cases) {
    unsigned char counter[16] = {}, expected[16] = {};
    std::copy(c.before.begin(), c.before.end(), counter);
    std::copy(c.after.begin(), c.after.end(), expected);
    incrementLogCounter(counter);
    EXPECT_EQ(std::memcmp(counter, expected, 16), 0);
  }
  unsigned char allOnes[16], zero[16] = {};
  std::memset(allOnes, 0xFF, 16);
  incrementLogCounter(allOnes);
  EXPECT_EQ(std::memcmp(allOnes, zero, 16), 0);
}

// The file a death test's child starts its log on. The null device opens
// however many programs run at once; Wine's tmpfile() refuses now and then
// while other test programs share its folder, and a log started on no file
// checks no key, so the child lived.
std::FILE* nullDeviceOrExit() {
#ifdef _WIN32
  std::FILE* file = std::fopen("NUL", "wb");
#else
  std::FILE* file = std::fopen("/dev/null", "wb");
#endif
  if (!file) {
    std::fprintf(stderr, "the null device did not open\n");
    std::_Exit(2);
  }
  return file;
}

TEST(DebugLogKeyTest, UnusableKeysAreFatal) {
  ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
  const char* garbage = "-----BEGIN PUBLIC KEY-----\nnot a key\n-----END PUBLIC KEY-----\n";
  std::string rsa1024 = readFileBytes(testKeyPath("rsa1024-public.pem"));
  std::string ec = readFileBytes(testKeyPath("ec-p256-public.pem"));
  EXPECT_FATAL_EXIT(startDebugLog(nullDeviceOrExit(), garbage), 152);
  EXPECT_FATAL_EXIT(startDebugLog(nullDeviceOrExit(), rsa1024.c_str()), 153);
  EXPECT_FATAL_EXIT(startDebugLog(nullDeviceOrExit(), ec.c_str()), 154);
}

}  // namespace
