#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A GUID by its fields, as the Windows GUID record holds them.
struct BindGuid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};
};
bool operator==(const BindGuid& a, const BindGuid& b);
inline bool operator!=(const BindGuid& a, const BindGuid& b) { return !(a == b); }

// Exactly 38 UTF-16 units "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", hexadecimal
// digits in either case: the form the system's IIDFromString accepts. Only
// the first 38 units are read; a text that ends before them is refused.
bool parseBracedGuid(const char16_t* text, BindGuid& guid);
// The registry form: braced, upper-case hexadecimal digits.
std::u16string bracedGuidText(const BindGuid& guid);

// Results of moving the own adapter to the head of the TCP/IP binding order
// ("Bind" under the Tcpip Linkage key), one per way it can end.
namespace bindOrder {
inline constexpr int rewritten = 0;
inline constexpr int keyNotOpened = 1;
inline constexpr int valueNotQueried = 2;
inline constexpr int valueNotMultiString = 3;
inline constexpr int valueNotRead = 4;
inline constexpr int entryTooShort = 5;
inline constexpr int entryNotDevice = 6;
inline constexpr int guidTooShort = 7;
inline constexpr int guidInvalid = 8;
inline constexpr int adapterNotListed = 9;
// The value is built here without the system's allocator, so building it
// cannot fail and this code is never returned; kept so the numbers stay put.
inline constexpr int textNotBuilt = 10;
inline constexpr int valueNotWritten = 11;
}  // namespace bindOrder

// The "Bind" value rewritten with the own adapter first.
struct BindRewrite {
  int result = bindOrder::adapterNotListed;
  // When result is rewritten: the adapters in their new order and the new
  // value's bytes (REG_MULTI_SZ, UTF-16LE, ended by a second NUL).
  std::vector<BindGuid> order;
  std::string value;
};

// value is the raw bytes of "Bind" (UTF-16LE; an odd last byte is no
// character and is dropped). Entries are "\Device\" (any case) and a braced
// GUID, separated by NULs or ASCII whitespace; anything else leaves the list
// untouched (entryTooShort .. guidInvalid). The first entry equal to own moves
// to the head; the others, duplicates included, keep their order.
BindRewrite rewriteBindOrder(const std::string& value, const BindGuid& own);
