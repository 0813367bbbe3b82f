#pragma once

// One frame between the stand-in OpenVPN, a test and the bridge:
// "<word> <number> <length>\n<payload>". Header-only: the stand-in program
// uses it without the test library.
#include <string>

inline std::string bridgeFrame(const std::string& word, unsigned long number,
                               const std::string& payload = std::string()) {
  return word + " " + std::to_string(number) + " " + std::to_string(payload.size()) + "\n" + payload;
}
