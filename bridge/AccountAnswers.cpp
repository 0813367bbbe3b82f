#include "bridge/AccountAnswers.h"

#include <stdexcept>

#include "core/Text.h"

namespace {

// A JSON integer within the signed 32-bit range.
int jsonGetInt(const rapidjson::Value& object, const std::string& key) {
  return jsonTypedMember(object, key, &rapidjson::Value::IsInt).GetInt();
}

uint16_t lowPortBits(const rapidjson::Value& object, const std::string& key) {
  return static_cast<uint16_t>(static_cast<uint32_t>(jsonGetInt(object, key)) & 0xFFFFu);
}

const rapidjson::Value& arrayMember(const rapidjson::Value& answer, const std::string& key) {
  return jsonTypedMember(answer, key, &rapidjson::Value::IsArray);
}

}  // namespace

std::vector<std::string> readAccountNames(const rapidjson::Value& answer) {
  std::vector<std::string> names;
  for (const rapidjson::Value& element : arrayMember(answer, "accounts").GetArray()) {
    if (!element.IsString()) throw std::logic_error("accounts is in incorrect type");
    names.push_back(jsonString(element));
  }
  if (names.empty()) throw std::logic_error("accounts is empty");
  return names;
}

size_t preferredAccountIndex(const std::vector<std::string>& names, const std::string& preferred) {
  size_t index = 0;
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == preferred) index = i;
  return index;
}

AccountInfo readAccountInfo(const rapidjson::Value& answer) {
  AccountInfo info;
  info.userName = jsonGetString(answer, "userName");
  info.password = base64Decode(jsonGetString(answer, "password"));
  info.status = jsonGetInt(answer, "status");
  info.statusText = jsonGetString(answer, "statusText");
  info.productName = jsonGetString(answer, "productName");
  info.policy = jsonGetInt(answer, "policy");
  info.policyText = jsonGetString(answer, "policyText");
  info.expireDate = jsonGetString(answer, "expireDate");
  info.balance = jsonGetInt(answer, "balance");
  info.timeLength = jsonGetInt(answer, "timeLength");
  info.flowLength = jsonGetInt(answer, "flowLength");
  return info;
}

std::vector<ServerEntry> readServers(const rapidjson::Value& answer) {
  std::vector<ServerEntry> servers;
  for (const rapidjson::Value& element : arrayMember(answer, "servers").GetArray()) {
    if (!element.IsObject()) throw std::logic_error("servers is in incorrect type");
    ServerEntry server;
    server.name = jsonGetString(element, "name");
    server.addr = jsonGetString(element, "addr");
    server.tcp = lowPortBits(element, "tcp");
    server.udp = lowPortBits(element, "udp");
    servers.push_back(std::move(server));
  }
  return servers;
}

std::vector<GameEntry> readGames(const rapidjson::Value& answer) {
  std::vector<GameEntry> games;
  for (const rapidjson::Value& element : arrayMember(answer, "games").GetArray()) {
    if (!element.IsObject()) throw std::logic_error("games is in incorrect type");
    GameEntry game;
    game.id = jsonGetInt(element, "id");
    game.name = jsonGetString(element, "name");
    game.desc = jsonGetString(element, "desc");
    games.push_back(std::move(game));
  }
  return games;
}
