#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "bridge/AccountAnswers.h"
#include "core/NumberError.h"

namespace {

rapidjson::Document parse(const std::string& text) {
  rapidjson::Document document;
  EXPECT_TRUE(parseJsonText(document, text)) << text;
  return document;
}

// What a reader does with an answer: "" when it reads, else the exception's text.
template <class Reader>
std::string failureOf(Reader read, const std::string& text) {
  rapidjson::Document answer = parse(text);
  try {
    read(answer);
    return "";
  } catch (const NumberError& e) {
    return "NumberError " + std::to_string(e.code());
  } catch (const std::logic_error& e) {
    return e.what();
  }
}

struct NamesCase {
  const char* name;
  std::string answer;
  std::vector<std::string> names;
  std::string failure;
};

const NamesCase namesCases[] = {
    {"InOrder", R"({"accounts":["b","a","c"]})", {"b", "a", "c"}, ""},
    {"EmptyNameKept", R"({"accounts":["",""]})", {"", ""}, ""},
    {"ZeroByteKept", R"({"accounts":["a\u0000b"]})", {std::string("a\0b", 3)}, ""},
    {"EmptyArray", R"({"accounts":[]})", {}, "accounts is empty"},
    {"Missing", R"({"rst":0})", {}, "accounts not found"},
    {"NotAnArray", R"({"accounts":"a"})", {}, "accounts is in incorrect type"},
    // The whole answer is unusable, not its first names.
    {"NumberAfterNames", R"({"accounts":["a","b",3]})", {}, "accounts is in incorrect type"},
};

class AccountNamesTable : public testing::TestWithParam<NamesCase> {};

TEST_P(AccountNamesTable, ReadsAllOrNothing) {
  const NamesCase& c = GetParam();
  rapidjson::Document answer = parse(c.answer);
  EXPECT_EQ(failureOf(readAccountNames, c.answer), c.failure);
  if (c.failure.empty()) {
    EXPECT_EQ(readAccountNames(answer), c.names);
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, AccountNamesTable, testing::ValuesIn(namesCases),
                         [](const testing::TestParamInfo<NamesCase>& info) { return info.param.name; });

TEST(PreferredAccountIndexTest, LastEqualNameWinsElseTheFirst) {
  const std::vector<std::string> names = {"a", "b", "a"};
  EXPECT_EQ(preferredAccountIndex(names, "a"), 2u);
  EXPECT_EQ(preferredAccountIndex(names, "b"), 1u);
  EXPECT_EQ(preferredAccountIndex(names, "z"), 0u);
  EXPECT_EQ(preferredAccountIndex(names, ""), 0u);
  EXPECT_EQ(preferredAccountIndex({"", "x"}, ""), 0u);
}

const std::vector<std::pair<std::string, std::string>> fullAccount = {
    {"userName", R"("u1")"},   {"password", R"("c2VjcmV0")"},     {"status", "1"},
    {"statusText", R"("ok")"}, {"productName", R"("Gold")"},      {"policy", "-2"},
    {"policyText", R"("p")"},  {"expireDate", R"("2027-01-01")"}, {"balance", "2147483647"},
    {"timeLength", "0"},       {"flowLength", "-2147483648"},
};

// The full answer with one member's JSON value replaced (dropped when empty).
std::string accountWith(const std::string& member = "", const std::string& value = "") {
  std::string text;
  for (const auto& entry : fullAccount) {
    std::string shown = entry.first == member ? value : entry.second;
    if (shown.empty()) continue;
    text += (text.empty() ? "{\"" : ",\"") + entry.first + "\":" + shown;
  }
  return text + "}";
}

TEST(AccountInfoTest, ReadsTheElevenMembersAndDecodesThePassword) {
  rapidjson::Document answer = parse(accountWith());
  AccountInfo info = readAccountInfo(answer);
  EXPECT_EQ(info.userName, "u1");
  EXPECT_EQ(info.password, "secret");
  EXPECT_EQ(info.status, 1);
  EXPECT_EQ(info.statusText, "ok");
  EXPECT_EQ(info.productName, "Gold");
  EXPECT_EQ(info.policy, -2);
  EXPECT_EQ(info.policyText, "p");
  EXPECT_EQ(info.expireDate, "2027-01-01");
  EXPECT_EQ(info.balance, 2147483647);
  EXPECT_EQ(info.timeLength, 0);
  EXPECT_EQ(info.flowLength, -2147483647 - 1);
}

struct AccountCase {
  const char* name;
  std::string answer;
  std::string failure;
};

const AccountCase accountCases[] = {
    {"EmptyPassword", accountWith("password", R"("")"), "NumberError 9"},
    {"PasswordNotBase64", accountWith("password", R"("c2V*")"), "NumberError 9"},
    {"PasswordUnpadded", accountWith("password", R"("QQ")"), "NumberError 10"},
    {"StatusIsAString", accountWith("status", R"("1")"), "status is in incorrect type"},
    {"BalanceIsAFraction", accountWith("balance", "1.5"), "balance is in incorrect type"},
    {"BalanceAbove32Bits", accountWith("balance", "2147483648"), "balance is in incorrect type"},
    {"UserNameMissing", accountWith("userName"), "userName not found"},
    {"ExpireDateIsNull", accountWith("expireDate", "null"), "expireDate is in incorrect type"},
};

class AccountInfoTable : public testing::TestWithParam<AccountCase> {};

TEST_P(AccountInfoTable, RefusesTheAnswer) {
  EXPECT_EQ(failureOf(readAccountInfo, GetParam().answer), GetParam().failure) << GetParam().answer;
}

INSTANTIATE_TEST_SUITE_P(Answers, AccountInfoTable, testing::ValuesIn(accountCases),
                         [](const testing::TestParamInfo<AccountCase>& info) { return info.param.name; });

TEST(ServersTest, ReadsEveryServerWithUnprobedFields) {
  rapidjson::Document answer = parse(
      R"({"servers":[{"name":"Tokyo","addr":"127.0.0.2","tcp":443,"udp":1194},)"
      R"({"name":"","addr":"h","tcp":65536,"udp":-1}]})");
  std::vector<ServerEntry> servers = readServers(answer);
  ASSERT_EQ(servers.size(), 2u);
  EXPECT_EQ(servers[0].name, "Tokyo");
  EXPECT_EQ(servers[0].addr, "127.0.0.2");
  EXPECT_EQ(servers[0].tcp, 443);
  EXPECT_EQ(servers[0].udp, 1194);
  EXPECT_EQ(servers[0].latencyMs, -1);
  EXPECT_EQ(servers[0].resolvedIp, 0u);
  EXPECT_EQ(servers[1].tcp, 0) << "the low 16 bits of 65536";
  EXPECT_EQ(servers[1].udp, 65535);
}

TEST(GamesTest, ReadsEveryGame) {
  rapidjson::Document answer =
      parse(R"({"games":[{"id":7,"name":"G\u00e4me","desc":"d"},{"id":-1,"name":"","desc":""}]})");
  std::vector<GameEntry> games = readGames(answer);
  ASSERT_EQ(games.size(), 2u);
  EXPECT_EQ(games[0].id, 7);
  EXPECT_EQ(games[0].name, "G\xC3\xA4me");
  EXPECT_EQ(games[0].desc, "d");
  EXPECT_EQ(games[1].id, -1);
}

struct ListCase {
  const char* name;
  bool servers;  // else games
  std::string answer;
  std::string failure;
};

const ListCase listCases[] = {
    {"NoServers", true, R"({"servers":[]})", ""},
    {"NoGames", false, R"({"games":[]})", ""},
    {"ServersMissing", true, R"({})", "servers not found"},
    {"ServersAnObject", true, R"({"servers":{}})", "servers is in incorrect type"},
    {"ServerAfterGoodOneNotAnObject", true, R"({"servers":[{"name":"a","addr":"b","tcp":1,"udp":2},3]})",
     "servers is in incorrect type"},
    {"ServerPortAString", true, R"({"servers":[{"name":"a","addr":"b","tcp":"1","udp":2}]})",
     "tcp is in incorrect type"},
    {"ServerPortTooLargeForInt", true, R"({"servers":[{"name":"a","addr":"b","tcp":1,"udp":4294967296}]})",
     "udp is in incorrect type"},
    {"ServerWithoutAddr", true, R"({"servers":[{"name":"a","tcp":1,"udp":2}]})", "addr not found"},
    {"GameNotAnObject", false, R"({"games":[[]]})", "games is in incorrect type"},
    {"GameIdAString", false, R"({"games":[{"id":"1","name":"n","desc":"d"}]})", "id is in incorrect type"},
    {"GameWithoutDesc", false, R"({"games":[{"id":1,"name":"n"}]})", "desc not found"},
};

class ListTable : public testing::TestWithParam<ListCase> {};

TEST_P(ListTable, ReadsOrRefusesTheWholeList) {
  const ListCase& c = GetParam();
  std::string failure = c.servers ? failureOf(readServers, c.answer) : failureOf(readGames, c.answer);
  EXPECT_EQ(failure, c.failure);
}

INSTANTIATE_TEST_SUITE_P(Answers, ListTable, testing::ValuesIn(listCases),
                         [](const testing::TestParamInfo<ListCase>& info) { return info.param.name; });

}  // namespace
