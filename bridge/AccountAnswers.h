#pragma once

// The records the main window shows, read from the "accounts", "subAccount"
// and "gameList" answers. Every reader either returns the whole record or
// list or throws (std::logic_error from the member readers, NumberError from
// the password's Base64), so a caller never keeps part of an answer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/Json.h"

struct AccountInfo {
  std::string userName;
  std::string password;  // decoded
  int status = 0;
  std::string statusText;
  std::string productName;
  int policy = 0;
  std::string policyText;
  std::string expireDate;
  int balance = 0;
  int timeLength = 0;
  int flowLength = 0;
};

struct ServerEntry {
  std::string name;
  std::string addr;  // what the latency probe resolves
  uint16_t tcp = 0;
  uint16_t udp = 0;
  int latencyMs = -1;
  uint32_t resolvedIp = 0;  // host order; 0 until the probe has resolved addr
};

struct GameEntry {
  int id = 0;
  std::string name;
  std::string desc;
};

// "accounts": an array of strings, at least one.
std::vector<std::string> readAccountNames(const rapidjson::Value& answer);
// The position of the last name equal to preferred; 0 when none is.
size_t preferredAccountIndex(const std::vector<std::string>& names, const std::string& preferred);
// The eleven members of the "subAccount" answer.
AccountInfo readAccountInfo(const rapidjson::Value& answer);
// Its "servers": an array of objects, possibly empty; ports keep their low 16 bits.
std::vector<ServerEntry> readServers(const rapidjson::Value& answer);
// "games" of the "gameList" answer: an array of objects, possibly empty.
std::vector<GameEntry> readGames(const rapidjson::Value& answer);
