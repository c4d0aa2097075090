// Decimal integer text: the one family of formatters the writers share.
// Digit pairs for writing from the right (the reference writer, the value
// texts past the fast path's table), and eight digits per step for the
// fast path's 64-bit timestamps, which may store past the text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bits.h"

namespace vorlane::json::decimal {

constexpr std::array<char, 200> make_digit_pairs() {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[static_cast<size_t>(2 * i)] = static_cast<char>('0' + i / 10);
    pairs[static_cast<size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}
alignas(2) inline constexpr std::array<char, 200> kDigitPairs = make_digit_pairs();

// The longest text of a 64-bit integer: "-9223372036854775808".
inline constexpr size_t kMaxI64Text = 20;

// |v| without overflow (-2^63 included).
constexpr uint64_t magnitude(int64_t v) noexcept {
  return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
}

// The two characters of k (below 100), first in the low byte.
inline uint64_t pair(uint32_t k) noexcept {
  uint16_t digits;
  std::memcpy(&digits, &kDigitPairs[2 * k], 2);
  return digits;
}

// Writes the digits of `magnitude` so that they end at `end`; returns where
// they start. Two digits per step.
inline char* format_backward(char* end, uint64_t magnitude) noexcept {
  while (magnitude >= 100) {
    const size_t at = static_cast<size_t>(magnitude % 100) * 2;
    magnitude /= 100;
    *--end = kDigitPairs[at + 1];
    *--end = kDigitPairs[at];
  }
  if (magnitude >= 10) {
    const size_t at = static_cast<size_t>(magnitude) * 2;
    *--end = kDigitPairs[at + 1];
    *--end = kDigitPairs[at];
  } else {
    *--end = static_cast<char>('0' + magnitude);
  }
  return end;
}

// Number of decimal digits of `magnitude`: estimated from its bit length,
// then one comparison with a power of ten.
inline unsigned digits(uint64_t magnitude) noexcept {
  static constexpr std::array<uint64_t, 20> kPowers = [] {
    std::array<uint64_t, 20> powers{};
    uint64_t p = 1;
    for (auto& power : powers) {
      power = p;
      p *= 10;
    }
    return powers;
  }();
  const uint64_t m = magnitude | 1;  // zero has one digit, as one has
  // 1233 / 4096 is just above log10(2).
  const unsigned estimate = (bits::bit_width(m) * 1233) >> 12;
  return estimate + (m >= kPowers[estimate] ? 1 : 0);
}

// The eight decimal digits of x (below 10^8), the first in the lowest byte:
// x split into halves, quarters and digits in the lanes of one word, each
// split one multiply and shift (exact for these ranges) for every lane.
inline uint64_t eight_digits(uint32_t x) noexcept {
  uint64_t v = uint64_t{x / 10000} | uint64_t{x % 10000} << 32;
  uint64_t high = ((v * 10486) >> 20) & 0x0000007F0000007Full;  // / 100 in 32-bit lanes
  v = high | (v - high * 100) << 16;
  high = ((v * 103) >> 10) & 0x000F000F000F000Full;  // / 10 in 16-bit lanes
  v = high | (v - high * 10) << 8;
  return v | 0x3030303030303030ull;
}

// Writes the text of `value`, eight digits at a time; returns its end.
// Stores up to eight bytes past the text, so that many must be writable.
inline char* put_i64_wide(char* out, int64_t value) noexcept {
  constexpr uint64_t kEight = 100000000;
  const uint64_t m = magnitude(value);
  if (value < 0) *out++ = '-';
  const unsigned n = digits(m);
  // The leading group (one to eight digits), then whole groups of eight.
  const unsigned groups = (n - 1) / 8;
  uint64_t lead = m;
  uint64_t rest[2] = {};  // at most 19 digits: a lead of three and two groups
  for (unsigned g = groups; g-- > 0;) {
    rest[g] = lead % kEight;
    lead /= kEight;
  }
  const unsigned lead_digits = n - 8 * groups;
  const uint64_t first = eight_digits(static_cast<uint32_t>(lead)) >> (8 * (8 - lead_digits));
  std::memcpy(out, &first, 8);
  out += lead_digits;
  for (unsigned g = 0; g < groups; ++g) {
    const uint64_t eight = eight_digits(static_cast<uint32_t>(rest[g]));
    std::memcpy(out, &eight, 8);
    out += 8;
  }
  return out;
}

}  // namespace vorlane::json::decimal
