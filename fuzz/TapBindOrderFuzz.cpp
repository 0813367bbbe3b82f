// The TCP/IP binding-order rewrite: the raw "Bind" bytes after 16 bytes that
// give the own adapter's GUID; and the braced GUID text both ways.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "netcfg/TapBindOrder.h"

namespace {

BindGuid guidFrom(const uint8_t* bytes) {
  BindGuid guid;
  std::memcpy(&guid.data1, bytes, 4);
  std::memcpy(&guid.data2, bytes + 4, 2);
  std::memcpy(&guid.data3, bytes + 6, 2);
  std::memcpy(guid.data4, bytes + 8, 8);
  return guid;
}

void checkGuidText(const std::string& value) {
  std::u16string text;
  for (size_t i = 0; i + 1 < value.size() && text.size() < 40; i += 2)
    text.push_back(static_cast<char16_t>(uint8_t(value[i]) | (uint8_t(value[i + 1]) << 8)));
  BindGuid guid;
  if (!parseBracedGuid(text.c_str(), guid)) return;
  // What parses prints as the same text in upper case.
  std::u16string upper = text.substr(0, 38);
  for (char16_t& c : upper)
    if (c >= u'a' && c <= u'f') c = static_cast<char16_t>(c - u'a' + u'A');
  FUZZ_CHECK(bracedGuidText(guid) == upper);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 16) return 0;
  const BindGuid own = guidFrom(data);
  BindGuid back;
  FUZZ_CHECK(parseBracedGuid(bracedGuidText(own).c_str(), back) && back == own);

  const std::string value(reinterpret_cast<const char*>(data) + 16, size - 16);
  checkGuidText(value);
  const BindRewrite rewrite = rewriteBindOrder(value, own);
  FUZZ_CHECK(rewrite.result == bindOrder::rewritten || (rewrite.result >= bindOrder::entryTooShort &&
                                                        rewrite.result <= bindOrder::adapterNotListed));
  if (rewrite.result != bindOrder::rewritten) return 0;
  FUZZ_CHECK(!rewrite.order.empty() && rewrite.order[0] == own);
  FUZZ_CHECK(rewrite.value.size() % 2 == 0 && rewrite.value.size() >= 4);
  FUZZ_CHECK(rewrite.value.compare(rewrite.value.size() - 4, 4, std::string(4, '\0')) == 0);
  // The new value is a list the rewrite takes as it is.
  const BindRewrite again = rewriteBindOrder(rewrite.value, own);
  FUZZ_CHECK(again.result == bindOrder::rewritten && again.value == rewrite.value);
  FUZZ_CHECK(again.order.size() == rewrite.order.size());
  for (size_t i = 0; i < again.order.size(); ++i) FUZZ_CHECK(again.order[i] == rewrite.order[i]);
  return 0;
}
