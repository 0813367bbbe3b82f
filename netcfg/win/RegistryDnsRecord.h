#pragma once

#include <string>

#include "netcfg/DnsRecord.h"

// The DNS record as the binary value "DnsRestore" of the client's key under
// HKLM, which only administrators can write; each write is flushed to disk
// before it returns, so it outlives a power cut. A failed open or query (other
// than "not found") is a failed read, never an unreadable record.
class RegistryDnsRecord : public DnsRecordStore {
 public:
  explicit RegistryDnsRecord(std::wstring key = L"SOFTWARE\\KWEL");
  Read read(std::string& text) override;
  bool write(const std::string& text) override;
  bool remove() override;

 private:
  std::wstring key_;
};
