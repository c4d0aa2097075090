// Decimal integer text from a table of the 100 digit pairs, written from the
// right into a caller's buffer; shared by the writer and the direct path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vorlane::json::detail {

constexpr std::array<char, 200> make_digit_pairs() {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[static_cast<size_t>(2 * i)] = static_cast<char>('0' + i / 10);
    pairs[static_cast<size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}
alignas(2) inline constexpr std::array<char, 200> kDigitPairs = make_digit_pairs();

// Writes the digits of `magnitude` so that they end at `end`; returns where
// they start. Two digits per step.
inline char* format_decimal(char* end, uint64_t magnitude) noexcept {
  while (magnitude >= 100) {
    const size_t pair = static_cast<size_t>(magnitude % 100) * 2;
    magnitude /= 100;
    *--end = kDigitPairs[pair + 1];
    *--end = kDigitPairs[pair];
  }
  if (magnitude >= 10) {
    const size_t pair = static_cast<size_t>(magnitude) * 2;
    *--end = kDigitPairs[pair + 1];
    *--end = kDigitPairs[pair];
  } else {
    *--end = static_cast<char>('0' + magnitude);
  }
  return end;
}

}  // namespace vorlane::json::detail
