// Test vectors written as hex: the bytes of a hex text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Two hex digits a byte, either case; a trailing odd digit is ignored.
inline std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t k = 0; k + 1 < hex.size(); k += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(k, 2), nullptr, 16)));
  return bytes;
}
