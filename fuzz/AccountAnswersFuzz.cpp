// The main window's answer readers over one answer text: each gives its whole
// list or record or throws one of the two errors the controller catches (any
// other escapes and ends the run); the preferred index is the last equal name.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "bridge/AccountAnswers.h"
#include "core/Json.h"
#include "core/NumberError.h"
#include "fuzz/FuzzCheck.h"

namespace {

template <class Read>
bool readsOrRefuses(Read read) {
  try {
    read();
    return true;
  } catch (const std::logic_error&) {
  } catch (const NumberError&) {
  }
  return false;
}

void checkNames(const std::vector<std::string>& names) {
  FUZZ_CHECK(!names.empty());
  for (size_t i = 0; i < names.size(); ++i) {
    const size_t index = preferredAccountIndex(names, names[i]);
    FUZZ_CHECK(index >= i && names[index] == names[i]);
    for (size_t j = index + 1; j < names.size(); ++j) FUZZ_CHECK(names[j] != names[i]);
  }
  bool present = false;
  const std::string absent = names[0] + '\x01';
  for (const std::string& name : names) present |= name == absent;
  if (!present) FUZZ_CHECK(preferredAccountIndex(names, absent) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rapidjson::Document answer;
  if (!parseJsonText(answer, std::string(reinterpret_cast<const char*>(data), size))) return 0;
  readsOrRefuses([&] { checkNames(readAccountNames(answer)); });
  readsOrRefuses([&] { readAccountInfo(answer); });
  readsOrRefuses([&] {
    for (const ServerEntry& server : readServers(answer)) {
      FUZZ_CHECK(server.latencyMs == -1 && server.resolvedIp == 0);
    }
  });
  readsOrRefuses([&] { readGames(answer); });
  return 0;
}
