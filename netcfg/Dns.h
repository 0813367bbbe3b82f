#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "netcfg/DnsRecord.h"
#include "netcfg/ForwardTable.h"
#include "netcfg/RouteEntry.h"

// The static servers of a registry "NameServer" text (separated by commas or
// blanks); anything that is not a plain dotted IPv4 address is left out.
std::vector<std::string> parseNameServers(const std::string& text);

class DnsSettingsStore {
 public:
  virtual ~DnsSettingsStore() = default;
  // The setting of the interface with this index; DHCP when it has none of
  // its own or it can't be read.
  virtual DnsSetting read(uint32_t interfaceIndex) = 0;
  // What tells this interface from one that gets its index later (its GUID
  // text); "-" when it can't be read.
  virtual std::string identity(uint32_t interfaceIndex) = 0;
  // The index the interface with this identity has now; false when none has
  // it now or it can't be told.
  virtual bool currentIndex(const std::string& identity, uint32_t& interfaceIndex) = 0;
};

// A netsh run that was still going at its time limit; it has been ended.
class NetshTimeout : public std::runtime_error {
 public:
  NetshTimeout() : std::runtime_error("netsh ran out of time") {}
};

// A netsh run that was started but gave no exit code; it may have changed
// what it was run for.
class NetshNoExitCode : public std::runtime_error {
 public:
  NetshNoExitCode() : std::runtime_error("netsh gave no exit code") {}
};

// netsh.exe of the system folder.
class NetshRunner {
 public:
  virtual ~NetshRunner() = default;
  // std::exception when the system folder can't be found.
  virtual std::wstring netshPath() = 0;
  // The exit code. NetshTimeout when it still runs after timeoutMs (it is
  // then ended), NetshNoExitCode when it was started and its end or exit code
  // can't be read, another std::exception when it can't be started.
  virtual uint32_t run(const std::wstring& path, const std::wstring& commandLine, uint32_t timeoutMs) = 0;
};

struct DnsChangerSeams {
  // The time all netsh runs of one change, or of one setting back, share.
  uint32_t netshBudgetMs = 20000;
  // A steady clock in milliseconds; empty: std::chrono::steady_clock.
  std::function<uint64_t()> nowMs;
};

// Points DNS of the tunnel interface and the pre-tunnel default interface at
// one fixed resolver, and sets them back. Each interface's own setting is kept
// before its first change and until it has been set back, so a repeated
// change never takes the fixed resolver for the original. The kept settings
// are also written to the record store before the first change and stay
// there until every interface is set back: a run that never set them back
// leaves them for restoreFromRecord at the next start, and the next change
// takes them, not the fixed resolver it finds, as the interfaces' own.
// A recorded interface is found by its identity at the index it has now; one
// absent now stays in the record for a later start. One recorded without an
// identity is known only by an index that a restart may give another
// interface: only the changer that recorded it sets it back.
class DnsChanger {
 public:
  DnsChanger(ForwardTable& table, NetshRunner& netsh, DnsSettingsStore& store, DnsRecordStore& record,
             DnsChangerSeams seams = {});
  // Sets back what is still changed.
  ~DnsChanger();
  DnsChanger(const DnsChanger&) = delete;
  DnsChanger& operator=(const DnsChanger&) = delete;

  void setDns(uint32_t vpnGateway, const VpnInterfaceInfo& record);
  // Sets every changed interface back to its kept setting, all runs within
  // the budget; nothing when nothing was changed since the last call. What
  // could not be set back stays in the record.
  void restore();
  // At start-up, before any attempt: sets back what a record of an earlier
  // run still holds.
  void restoreFromRecord();

 private:
  struct Kept {
    uint32_t interfaceIndex;
    std::string identity;
    DnsSetting setting;
    bool changed;
  };
  enum class Ran { exited, notStarted, timedOut, noExitCode };
  Kept& keep(uint32_t interfaceIndex);
  enum class Loaded { none, some, notRead };
  // Takes the record's interfaces present now as changed; none when there is
  // no record (or it was unreadable, and removed), notRead when it could not
  // be read (it is left as it is).
  Loaded loadRecord();
  // With the absent interfaces.
  bool writeRecord(const std::vector<Kept>& kept);
  // Leaves what is still to be set back in the record, or removes it when
  // nothing is.
  void rewriteRecord(const std::vector<Kept>& left);
  void removeRecord();
  Ran run(const std::wstring& path, const std::wstring& commandLine, uint64_t deadline, uint32_t& exitCode);
  uint64_t now();

  ForwardTable& table_;
  NetshRunner& netsh_;
  DnsSettingsStore& store_;
  DnsRecordStore& record_;
  DnsChangerSeams seams_;
  std::vector<Kept> kept_;
  // Recorded interfaces that are not present now, carried in every rewrite.
  std::vector<DnsRecordEntry> absent_;
  // Indices without an identity that this changer left in the record.
  std::vector<uint32_t> unnamedLeft_;
};
