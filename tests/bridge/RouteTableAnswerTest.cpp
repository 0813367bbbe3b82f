#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "bridge/RouteTableAnswer.h"

namespace {

constexpr uint32_t server = 0x0A000001;  // 10.0.0.1

// The list as "destination/mask/via" texts, or the exception's text.
std::vector<std::string> read(const std::string& text) {
  rapidjson::Document answer;
  EXPECT_TRUE(parseJsonText(answer, text)) << text;
  std::vector<std::string> out;
  try {
    for (const RouteEntry& route : readRouteTable(answer, server))
      out.push_back(std::to_string(route.destination) + "/" + std::to_string(route.mask) + "/" +
                    std::to_string(route.viaVpn));
  } catch (const std::exception& e) {
    out = {std::string("! ") + e.what()};
  }
  return out;
}

const std::string serverRoute = "167772161/4294967295/0";

TEST(RouteTableAnswer, BuildsTheServerRouteThenEachRouteInOrder) {
  struct Case {
    const char* name;
    std::string answer;
    std::vector<std::string> routes;
  } cases[] = {
      {"empty list: the server alone", R"({"routes":[]})", {serverRoute}},
      {"in order, n other than 0 through the tunnel",
       R"({"routes":[{"a":"192.168.0.0","m":"255.255.0.0","n":1},{"a":"8.8.8.8","m":"255.255.255.255","n":0},)"
       R"({"a":"0.0.0.0","m":"0.0.0.0","n":-7}]})",
       {serverRoute, "3232235520/4294901760/1", "134744072/4294967295/0", "0/0/1"}},
      {"extra members are ignored", R"({"rst":0,"routes":[{"a":"1.2.3.0","m":"255.255.255.0","n":0,"x":[]}]})",
       {serverRoute, "16909056/4294967040/0"}},
  };
  for (const Case& c : cases) EXPECT_EQ(read(c.answer), c.routes) << c.name;
}

// Any fault anywhere refuses the whole answer.
TEST(RouteTableAnswer, RefusesAnswersThatAreNotARouteTable) {
  const char* refused[] = {
      R"({})",
      R"({"routes":{}})",
      R"({"routes":[1]})",
      R"({"routes":[{"a":"1.2.3.0","m":"255.255.255.0"}]})",
      R"({"routes":[{"m":"255.255.255.0","n":0}]})",
      R"({"routes":[{"a":"1.2.3.0","n":0}]})",
      R"({"routes":[{"a":"1.2.3.0","m":"255.255.255.0","n":"1"}]})",
      R"({"routes":[{"a":"1.2.3.0","m":"255.255.255.0","n":1.5}]})",
      R"({"routes":[{"a":"1.2.3.0","m":"255.255.255.0","n":4294967296}]})",
      R"({"routes":[{"a":"1.2.3","m":"255.255.255.0","n":0}]})",
      R"({"routes":[{"a":"1.2.3.0","m":"255.255.255.00","n":0}]})",
      R"({"routes":[{"a":1,"m":"255.255.255.0","n":0}]})",
      // The route table could not hold these: refused when the list is built.
      R"({"routes":[{"a":"1.2.0.0","m":"255.0.255.0","n":0}]})",
      R"({"routes":[{"a":"1.2.3.4","m":"255.255.255.0","n":0}]})",
      R"({"routes":[{"a":"1.2.3.0","m":"255.255.255.0","n":1},{"a":"0.0.0.1","m":"0.0.0.0","n":0}]})",
  };
  for (const char* answer : refused) {
    std::vector<std::string> routes = read(answer);
    ASSERT_EQ(routes.size(), 1u) << answer;
    EXPECT_EQ(routes[0].substr(0, 2), "! ") << answer;
  }
}

}  // namespace
