#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An interface's own DNS setting: static servers (dotted text, in order), or
// none, which means the servers come from DHCP.
struct DnsSetting {
  std::vector<std::string> servers;
};

// What a tunnel attempt will set back, kept where only administrators can
// write from before the first change until every interface is set back, so a
// client that ends without its teardown (a kill, a crash, a power cut) is set
// back at its next start.
//
// The text, UTF-8, every line ended by '\n':
//   zav-dns 1
//   INDEX ID dhcp
//   INDEX ID static A.B.C.D[,A.B.C.D...]
// one line per interface: its index in decimal (no leading zeros), an
// identity by which it is found again whatever its index is then (the GUID
// text, or "-" when unknown: 1 to 64 printable ASCII characters without a
// blank) and its own setting. An interface absent when the record was
// written may have any index no other line has. No index appears twice; at
// most dnsRecordLimit lines follow the first. Anything else makes the whole
// record unreadable.
struct DnsRecordEntry {
  uint32_t interfaceIndex = 0;
  std::string identity;
  DnsSetting setting;
};

inline constexpr size_t dnsRecordLimit = 64;

std::string formatDnsRecord(const std::vector<DnsRecordEntry>& entries);
// False when the text is not a record as above; entries is then empty.
bool parseDnsRecord(const std::string& text, std::vector<DnsRecordEntry>& entries);

// Where the record lives: a place only administrators can write, written
// through to the disk.
class DnsRecordStore {
 public:
  virtual ~DnsRecordStore() = default;
  // unreadable: a value was read that is no record this client writes (it is
  // removed); failed: there may be a record, but it could not be read (it is
  // kept for a later start).
  enum class Read { none, found, unreadable, failed };
  virtual Read read(std::string& text) = 0;
  // False when it could not be written and flushed.
  virtual bool write(const std::string& text) = 0;
  // False when a record is still there.
  virtual bool remove() = 0;
};
