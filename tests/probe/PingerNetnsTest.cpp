// Probes that do not answer, inside the network namespace tests/probe/netns_run.sh
// makes: 127.0.0.1 ignores echo requests there and every name lookup fails at
// once. Nothing is sent before Wine is seen to read that namespace's table.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "core/RandomGenerator.h"
#include "probe/Pinger.h"
#include "tests/probe/RecordingSinks.h"

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The marker route 127.77.0.0/16 is in the table, and no default route.
bool wineSeesTheNamespace() {
  ULONG size = 0;
  if (GetIpForwardTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER) return false;
  std::vector<unsigned char> buffer(size);
  auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.data());
  if (GetIpForwardTable(table, &size, FALSE) != NO_ERROR) return false;
  bool marker = false;
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_IPFORWARDROW& row = table->table[i];
    if (row.dwForwardDest == 0) return false;
    if (row.dwForwardDest == htonl(0x7f4d0000) && row.dwForwardMask == htonl(0xffff0000)) marker = true;
  }
  return marker;
}

std::shared_ptr<RandomGenerator> random() {
  static auto generator = std::make_shared<RandomGenerator>();
  return generator;
}

TEST(PingerNetnsTest, ASilentAddressFailsOnceAfterAboutASecond) {
  auto log = std::make_shared<ProbeLog>();
  auto pinger = std::make_shared<Pinger>(random());
  auto sink = std::make_shared<RecordingSink>(log, 0);
  const auto start = Clock::now();
  pinger->ping("127.0.0.1", sink, sink);
  ASSERT_TRUE(log->waitForResults(1, 5000));
  const long long at = msSince(start);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto reports = log->of(0);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].kind, ProbeLog::Resolved);
  EXPECT_EQ(reports[1].kind, ProbeLog::Failed);
  EXPECT_GE(at, 900);
  EXPECT_LE(at, 2000);
}

TEST(PingerNetnsTest, ANameThatDoesNotResolveIsUnresolvedAndFailedAtOnce) {
  auto log = std::make_shared<ProbeLog>();
  auto pinger = std::make_shared<Pinger>(random());
  auto sink = std::make_shared<RecordingSink>(log, 0);
  const auto start = Clock::now();
  pinger->ping("zav-probe-unresolvable.test", sink, sink);
  ASSERT_TRUE(log->waitForResults(1, 5000));
  EXPECT_LE(msSince(start), 2000);
  auto reports = log->of(0);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].kind, ProbeLog::Unresolved);
  EXPECT_EQ(reports[1].kind, ProbeLog::Failed);
  EXPECT_EQ(reports[0].thread, reports[1].thread);
}

// From the namespace's hosts file: the first IPv4 address counts, wherever it
// is listed; IPv6 alone is no address.
TEST(PingerNetnsTest, OnlyAnIpv4AddressIsAResult) {
  auto log = std::make_shared<ProbeLog>();
  auto pinger = std::make_shared<Pinger>(random());
  auto dual = std::make_shared<RecordingSink>(log, 0);
  auto v6only = std::make_shared<RecordingSink>(log, 1);
  pinger->ping("zav-probe-dual", dual, dual);
  pinger->ping("zav-probe-v6only", v6only, v6only);
  ASSERT_TRUE(log->waitForResults(2, 5000));
  auto reports = log->of(0);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].kind, ProbeLog::Resolved);
  EXPECT_EQ(reports[0].value, 0x7f000001u);
  EXPECT_EQ(reports[1].kind, ProbeLog::Failed);  // 127.0.0.1 is silent here
  reports = log->of(1);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].kind, ProbeLog::Unresolved);
  EXPECT_EQ(reports[1].kind, ProbeLog::Failed);
}

// The stop leaves the echoes the system still holds to end on their own time:
// they end later, while the process runs on, and report nothing. Few of them:
// Wine frees its own status block of a pending echo and writes it when the
// echo ends, so each silent echo is a write into freed memory of this process
// (many make Wine's heap fail).
TEST(PingerNetnsTest, DestroyedWithSilentEchoesInFlightReportsNothingAsTheyEnd) {
  constexpr int servers = 3;
  auto log = std::make_shared<ProbeLog>();
  auto pinger = std::make_shared<Pinger>(random());
  for (int i = 0; i < servers; ++i) {
    auto sink = std::make_shared<RecordingSink>(log, i);
    pinger->ping("127.0.0.1", sink, sink);
  }
  ASSERT_TRUE(log->waitUntil([](const std::vector<ProbeLog::Report>& all) { return all.size() >= servers; }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  pinger.reset();
  // past the echoes' one-second time-out: the system gives them back now
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  for (const auto& report : log->reports()) EXPECT_EQ(report.kind, ProbeLog::Resolved);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!wineSeesTheNamespace()) {
    std::fprintf(stderr, "Wine does not read the test's network namespace: nothing is sent\n");
    return 1;
  }
  return RUN_ALL_TESTS();
}
