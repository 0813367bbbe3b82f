#include "netcfg/Dns.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "core/DebugLog.h"
#include "core/QuoteArgument.h"
#include "core/Text.h"
#include "netcfg/NetText.h"

namespace {

const wchar_t fixedResolver[] = L"114.114.114.114";

std::wstring dnsCommand(const std::wstring& netshPath, const wchar_t* verb, uint32_t interfaceIndex,
                        const std::wstring& rest) {
  return quoteArgument(netshPath) + L" interface ipv4 " + verb + L" dns " + std::to_wstring(interfaceIndex) + L" " + rest;
}

bool namesIndex(const std::vector<DnsRecordEntry>& entries, uint32_t interfaceIndex) {
  return std::any_of(entries.begin(), entries.end(),
                     [interfaceIndex](const DnsRecordEntry& entry) { return entry.interfaceIndex == interfaceIndex; });
}

}  // namespace

std::vector<std::string> parseNameServers(const std::string& text) {
  std::vector<std::string> servers;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(", ", start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    if (!item.empty()) {
      try {
        servers.push_back(ipv4ToString(parseIPv4(item)));
      } catch (const std::exception&) {
        // Only addresses go onto a command line.
      }
    }
    start = end + 1;
  }
  return servers;
}

DnsChanger::DnsChanger(ForwardTable& table, NetshRunner& netsh, DnsSettingsStore& store, DnsRecordStore& record,
                       DnsChangerSeams seams)
    : table_(table), netsh_(netsh), store_(store), record_(record), seams_(std::move(seams)) {}

DnsChanger::~DnsChanger() { restore(); }

uint64_t DnsChanger::now() {
  if (seams_.nowMs) return seams_.nowMs();
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

DnsChanger::Kept& DnsChanger::keep(uint32_t interfaceIndex) {
  for (Kept& kept : kept_) {
    if (kept.interfaceIndex == interfaceIndex) return kept;
  }
  std::string identity = store_.identity(interfaceIndex);
  // An interface the record holds has its own setting there, whatever it has now.
  for (auto entry = absent_.begin(); identity != "-" && entry != absent_.end(); ++entry) {
    if (entry->identity != identity) continue;
    kept_.push_back(Kept{interfaceIndex, std::move(identity), std::move(entry->setting), true});
    absent_.erase(entry);
    return kept_.back();
  }
  kept_.push_back(Kept{interfaceIndex, std::move(identity), store_.read(interfaceIndex), false});
  return kept_.back();
}

DnsChanger::Loaded DnsChanger::loadRecord() {
  absent_.clear();
  std::string text;
  const DnsRecordStore::Read found = record_.read(text);
  if (found == DnsRecordStore::Read::none) return Loaded::none;
  if (found == DnsRecordStore::Read::failed) return Loaded::notRead;
  std::vector<DnsRecordEntry> entries;
  if (found == DnsRecordStore::Read::unreadable || !parseDnsRecord(text, entries)) {
    writeDebugLog("DNS: record unreadable, removed\n");
    removeRecord();
    return Loaded::none;
  }
  for (DnsRecordEntry& entry : entries) {
    const std::string recorded = "DNS: record: interface " + std::to_string(entry.interfaceIndex);
    uint32_t index = entry.interfaceIndex;
    if (entry.identity == "-") {
      const bool own = std::find(unnamedLeft_.begin(), unnamedLeft_.end(), index) != unnamedLeft_.end();
      if (!own) {
        writeDebugLog(recorded + " has no identity, dropped\n");
        continue;
      }
    } else if (!store_.currentIndex(entry.identity, index)) {
      writeDebugLog(recorded + " is gone, left\n");
      absent_.push_back(std::move(entry));
      continue;
    } else if (index != entry.interfaceIndex) {
      writeDebugLog(recorded + " is now " + std::to_string(index) + "\n");
    }
    // Twice the same interface: the earlier entry was kept before any change.
    const bool twice =
        std::any_of(kept_.begin(), kept_.end(), [index](const Kept& kept) { return kept.interfaceIndex == index; });
    if (!twice) kept_.push_back(Kept{index, std::move(entry.identity), std::move(entry.setting), true});
  }
  return Loaded::some;
}

bool DnsChanger::writeRecord(const std::vector<Kept>& kept) {
  std::vector<DnsRecordEntry> entries;
  for (const Kept& item : kept) entries.push_back(DnsRecordEntry{item.interfaceIndex, item.identity, item.setting});
  // An absent interface is found by its identity, never by its index: where
  // one present now has its old index, it takes one that no entry names.
  for (DnsRecordEntry carried : absent_) {
    if (namesIndex(entries, carried.interfaceIndex)) {
      carried.interfaceIndex = 0;
      while (namesIndex(entries, carried.interfaceIndex) || namesIndex(absent_, carried.interfaceIndex))
        ++carried.interfaceIndex;
    }
    entries.push_back(std::move(carried));
  }
  // The next start would throw away a longer one whole.
  if (entries.size() > dnsRecordLimit) return false;
  return record_.write(formatDnsRecord(entries));
}

void DnsChanger::rewriteRecord(const std::vector<Kept>& left) {
  if (left.empty() && absent_.empty()) {
    removeRecord();
  } else if (writeRecord(left)) {
    writeDebugLog("DNS: " + std::to_string(left.size() + absent_.size()) + " left in the record\n");
  } else {
    // The whole earlier record stays, which still names them.
    writeDebugLog("DNS: record not rewritten\n");
  }
}

void DnsChanger::removeRecord() {
  if (!record_.remove()) writeDebugLog("DNS: record not removed\n");
}

DnsChanger::Ran DnsChanger::run(const std::wstring& path, const std::wstring& commandLine, uint64_t deadline,
                                uint32_t& exitCode) {
  const uint64_t at = now();
  if (at >= deadline) return Ran::timedOut;
  try {
    exitCode = netsh_.run(path, commandLine, static_cast<uint32_t>(deadline - at));
    return Ran::exited;
  } catch (const NetshTimeout&) {
    return Ran::timedOut;
  } catch (const NetshNoExitCode&) {
    return Ran::noExitCode;
  } catch (const std::exception&) {
    return Ran::notStarted;
  }
}

void DnsChanger::setDns(uint32_t vpnGateway, const VpnInterfaceInfo& record) {
  uint32_t vpnIndex = 0;
  if (table_.bestInterface(toNetworkOrder(vpnGateway), vpnIndex) != winerror::noError) {
    writeDebugLog("DNS: GetBestInterface failed for VPN\n");
    return;
  }
  uint32_t defaultIndex = 0;
  if (table_.bestInterface(toNetworkOrder(record.defaultGateway), defaultIndex) != winerror::noError) {
    writeDebugLog("DNS: GetBestInterface failed for DEF\n");
    return;
  }
  std::wstring path;
  try {
    path = netsh_.netshPath();
  } catch (const std::exception&) {
    return;
  }
  if (kept_.empty()) {
    const Loaded loaded = loadRecord();
    // Writing one afresh would lose the only copy of the own settings it holds.
    if (loaded == Loaded::notRead) {
      writeDebugLog("DNS: record not read, DNS left as it is\n");
      return;
    }
    if (loaded == Loaded::some) writeDebugLog("DNS: own settings from the record of an earlier run\n");
  }
  const size_t keptBefore = kept_.size();
  const std::vector<DnsRecordEntry> absentBefore = absent_;
  const uint32_t indices[2] = {vpnIndex, defaultIndex};
  for (uint32_t index : indices) keep(index);
  // A change that a crash could leave behind is made only once it is recorded.
  if (kept_.size() != keptBefore && !writeRecord(kept_)) {
    writeDebugLog("DNS: record not written, DNS left as it is\n");
    kept_.resize(keptBefore);
    absent_ = absentBefore;
    return;
  }
  const uint64_t deadline = now() + seams_.netshBudgetMs;
  for (int i = 0; i < 2; ++i) {
    uint32_t exitCode = 1;
    const Ran ran = run(path, dnsCommand(path, L"set", indices[i], std::wstring(L"static ") + fixedResolver), deadline,
                        exitCode);
    // Any run that started may have changed the interface.
    if (ran == Ran::notStarted) continue;
    keep(indices[i]).changed = true;
    if (ran == Ran::exited && exitCode == 0) writeDebugLog("DNS: ok " + std::to_string(i + 1) + "\n");
  }
}

void DnsChanger::restore() {
  std::vector<Kept> kept;
  kept.swap(kept_);
  if (kept.empty()) {
    absent_.clear();
    return;
  }
  bool anyChanged = false;
  for (const Kept& item : kept) anyChanged = anyChanged || item.changed;
  if (!anyChanged) {
    rewriteRecord({});
    absent_.clear();
    return;
  }
  std::wstring path;
  try {
    path = netsh_.netshPath();
  } catch (const std::exception&) {
    writeDebugLog("DNS: no netsh, the record is kept\n");
    for (const Kept& item : kept)
      if (item.identity == "-") unnamedLeft_.push_back(item.interfaceIndex);
    absent_.clear();
    return;
  }
  const uint64_t deadline = now() + seams_.netshBudgetMs;
  std::vector<Kept> left;
  for (const Kept& item : kept) {
    if (!item.changed) continue;
    const std::vector<std::string>& servers = item.setting.servers;
    std::vector<std::wstring> lines;
    if (servers.empty()) {
      lines.push_back(dnsCommand(path, L"set", item.interfaceIndex, L"dhcp"));
    } else {
      lines.push_back(dnsCommand(path, L"set", item.interfaceIndex, L"static " + fromUtf8(servers[0])));
      for (size_t i = 1; i < servers.size(); ++i) lines.push_back(dnsCommand(path, L"add", item.interfaceIndex, fromUtf8(servers[i])));
    }
    bool ok = true;
    for (const std::wstring& line : lines) {
      uint32_t exitCode = 1;
      ok = run(path, line, deadline, exitCode) == Ran::exited && exitCode == 0 && ok;
    }
    writeDebugLog("DNS: restore " + std::to_string(item.interfaceIndex) + (ok ? " ok\n" : " failed\n"));
    if (ok) continue;
    left.push_back(item);
    if (item.identity == "-") unnamedLeft_.push_back(item.interfaceIndex);
  }
  rewriteRecord(left);
  absent_.clear();
}

void DnsChanger::restoreFromRecord() {
  if (!kept_.empty()) return;
  const Loaded loaded = loadRecord();
  if (loaded == Loaded::notRead) writeDebugLog("DNS: record not read, kept for the next start\n");
  if (loaded != Loaded::some) return;
  if (kept_.empty()) {
    rewriteRecord({});
    absent_.clear();
    return;
  }
  writeDebugLog("DNS: setting back what an earlier run left: " + std::to_string(kept_.size()) + "\n");
  restore();
}
