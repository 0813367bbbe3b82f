// The settings load: whatever the store holds, an object comes out and the
// text written back loads to the same settings.
#include <cstddef>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/SavedConfig.h"
#include "fuzz/FuzzCheck.h"
#include "tests/support/MemorySavedConfigStore.h"

namespace {

// Equal, but a double may move in its last digits: RapidJSON 1.1 reads
// numbers inexactly (its full-precision mode misreads ones that overflow).
bool sameSettings(const rapidjson::Value& a, const rapidjson::Value& b) {
  std::vector<std::pair<const rapidjson::Value*, const rapidjson::Value*>> pending{{&a, &b}};
  while (!pending.empty()) {
    const rapidjson::Value& x = *pending.back().first;
    const rapidjson::Value& y = *pending.back().second;
    pending.pop_back();
    if (x.IsDouble() || y.IsDouble()) {
      if (!x.IsNumber() || !y.IsNumber()) return false;
      const double p = x.GetDouble(), q = y.GetDouble();
      if (std::fabs(p - q) > 1e-12 * std::max(std::fabs(p), std::fabs(q))) return false;
    } else if (x.IsArray()) {
      if (!y.IsArray() || x.Size() != y.Size()) return false;
      for (rapidjson::SizeType i = 0; i < x.Size(); ++i) pending.push_back({&x[i], &y[i]});
    } else if (x.IsObject()) {
      if (!y.IsObject() || x.MemberCount() != y.MemberCount()) return false;
      for (auto i = x.MemberBegin(), j = y.MemberBegin(); i != x.MemberEnd(); ++i, ++j) {
        if (i->name != j->name) return false;
        pending.push_back({&i->value, &j->value});
      }
    } else if (x != y) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto state = std::make_shared<SavedConfigStoreState>();
  state->stored = std::make_unique<std::string>(reinterpret_cast<const char*>(data), size);
  SavedConfig config(std::make_unique<MemorySavedConfigStore>(state));
  config.load();
  FUZZ_CHECK(config.document().IsObject());
  // Nothing is written only when the writer refuses a value (a number read
  // as infinity): the stored text then stays as it was.
  FUZZ_CHECK(state->writes.size() <= 1);
  if (state->writes.empty()) FUZZ_CHECK(*state->stored == std::string(reinterpret_cast<const char*>(data), size));
  getStringOr(config.document(), "un", "");
  getBoolOrTrue(config.document(), "accountPref");
  // The log's copy never shows a remembered password.
  rapidjson::Document logged;
  FUZZ_CHECK(parseJsonText<rapidjson::kParseNanAndInfFlag>(logged, settingsLogText(config.document())));
  FUZZ_CHECK(logged.IsObject() && logged.MemberCount() == config.document().MemberCount());
  for (const auto& member : logged.GetObject())
    if (jsonString(member.name) == "pw") FUZZ_CHECK(member.value.IsString() && jsonString(member.value) == "***");

  if (state->writes.empty()) return 0;
  SavedConfig again(std::make_unique<MemorySavedConfigStore>(state));
  again.load();
  FUZZ_CHECK(state->writes.size() == 2);
  FUZZ_CHECK(sameSettings(config.document(), again.document()));
  return 0;
}
