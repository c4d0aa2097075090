// The Base64 alphabet as a 256-entry table: the 6-bit value of each symbol,
// kNotSymbol for every other byte (including '=').
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorlane::base64 {

inline constexpr uint8_t kNotSymbol = 0xFF;
inline constexpr uint8_t kPad = '=';
inline constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<uint8_t, 256> make_symbol_table() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kNotSymbol;
  for (size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
  }
  return table;
}

inline constexpr std::array<uint8_t, 256> kSymbolValue = make_symbol_table();

}  // namespace vorlane::base64
