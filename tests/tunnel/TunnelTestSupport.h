#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tunnel/OVPNListener.h"
#include "tunnel/OVPNThread.h"

// The fixture adapter's GUID as text, and as it lies in memory.
inline const char kAdapterGuidText[] = "{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}";
inline const AdapterGuid kAdapterGuid = {0x31, 0x2F, 0x8D, 0x5A, 0x7C, 0x0B, 0x96, 0x4E,
                                         0xA1, 0xD4, 0x3C, 0x2B, 0x9E, 0x8F, 0x7A, 0x60};

// What OpenVPN and the client say at the start of every dialogue, as bytes
// on the wire.
inline const std::string kHold = ">HOLD:Waiting for hold release:0\r\n";
inline const std::string kHoldRelease = "echo on\r\nlog on\r\nbytecount 1\r\nhold release\r\n";
inline const std::string kNeedAuth = ">PASSWORD:Need 'Auth' username/password\r\n";

// What the machine did, in order, from any thread: listener calls and the
// system calls of a fake.
class EventRecord {
 public:
  void add(std::string event) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(std::move(event));
    }
    changed_.notify_all();
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  // Waits until event has been recorded count times; false after timeoutMs.
  bool waitFor(const std::string& event, int count = 1, int timeoutMs = 20000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      int seen = 0;
      for (const std::string& e : events_) seen += e == event;
      return seen >= count;
    });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

class RecordingListener : public OVPNListener {
 public:
  explicit RecordingListener(std::shared_ptr<EventRecord> record) : record_(std::move(record)) {}
  void missing() override { record_->add("missing"); }
  void needConfig() override { record_->add("needConfig"); }
  void needCredentials() override { record_->add("needCredentials"); }
  void installed() override { record_->add("installed"); }
  void connected(uint32_t vpnIp) override { record_->add("connected " + std::to_string(vpnIp)); }
  void bytecount(uint64_t in, uint64_t out) override {
    record_->add("bytecount " + std::to_string(in) + " " + std::to_string(out));
  }
  void status(int code) override { record_->add("status " + std::to_string(code)); }

 private:
  std::shared_ptr<EventRecord> record_;
};

// Returns once the worker has run everything posted so far and what that
// posted in turn, rounds deep.
void settle(OVPNThread& thread, int rounds = 6);

// The "OVPN State: " names of a captured log, in order.
std::vector<std::string> loggedStates(const std::string& log);
