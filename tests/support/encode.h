// Canonical Base64 encoder for making test and benchmark inputs; the module
// itself only decodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorlane::testing {

inline std::string encode_base64(const std::vector<uint8_t>& bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t w = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int s = 18; s >= 0; s -= 6) out += alphabet[(w >> s) & 63];
  }
  const size_t left = bytes.size() - i;
  if (left != 0) {
    uint32_t w = uint32_t{bytes[i]} << 16;
    if (left == 2) w |= uint32_t{bytes[i + 1]} << 8;
    out += alphabet[(w >> 18) & 63];
    out += alphabet[(w >> 12) & 63];
    out += left == 2 ? alphabet[(w >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace vorlane::testing
