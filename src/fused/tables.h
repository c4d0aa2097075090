// Tables of the fast path: the text of every 16-bit wire value, and the
// head of a version 2 or 3 document for every combination of settings.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "accel/settings.h"
#include "json/decimal.h"
#include "wire/deserializer.h"

namespace vorlane::fused {

// The tables are defined in tables.cpp. Hidden, so that code in other files
// reaches them directly and not through the global offset table.
#if defined(__GNUC__) || defined(__clang__)
#define VORLANE_FUSED_TABLE extern __attribute__((visibility("hidden"))) const
#else
#define VORLANE_FUSED_TABLE extern const
#endif

// Samples are kept as their zigzag wire values u; the text of the value u
// stands for comes from tables indexed by u, so small magnitudes, positive
// or negative, sit next to each other at the front.

constexpr int16_t from_wire(uint16_t u) { return wire::zigzag_decode(u); }

constexpr unsigned text_length(int v) {
  unsigned magnitude = static_cast<unsigned>(v < 0 ? -v : v);
  unsigned n = v < 0 ? 2 : 1;
  while (magnitude >= 10) {
    magnitude /= 10;
    ++n;
  }
  return n;
}

// Text length of every wire value.
VORLANE_FUSED_TABLE std::array<uint8_t, 65536> kTextLength;

// Text of the wire values below kTextCount (magnitudes below 4096): the
// characters in the low bytes, the length in the top byte. Readings cluster
// well inside; the rest take the digit-pair path.
constexpr size_t kTextCount = 8192;
static_assert((kTextCount & (kTextCount - 1)) == 0, "one test covers three values");

// One entry per wire value below kTextCount.
VORLANE_FUSED_TABLE std::array<uint64_t, kTextCount> kText;

// The text entry of a wire value past the table, a magnitude of 4096 to
// 32768: four or five digits from digit pairs, and the sign.
inline uint64_t wide_entry(uint16_t u) noexcept {
  const uint32_t magnitude = (uint32_t{u} + 1) >> 1;  // |v| for the zigzag value u
  const uint32_t high = magnitude / 100;
  using json::decimal::pair;
  uint64_t chars;
  uint64_t length;
  if (high >= 100) {
    chars = uint64_t{'0' + high / 100} | pair(high % 100) << 8 | pair(magnitude % 100) << 24;
    length = 5;
  } else {
    chars = pair(high) | pair(magnitude % 100) << 16;
    length = 4;
  }
  if ((u & 1) != 0) {  // odd wire values are the negative ones
    chars = chars << 8 | uint64_t{'-'};
    ++length;
  }
  return chars | length << 56;
}

// The text entry (as in kText) of any wire value.
inline uint64_t value_entry(uint16_t u) noexcept {
  if (u < kTextCount) [[likely]] return kText[u];
  return wide_entry(u);
}

// ---- settings heads ---------------------------------------------------------
//
// The head of a version 2 or 3 document up to the temperature's value, for
// every one of the settings, so that writing it is two wide copies. Devices
// send a handful of settings, so the entries in use stay in cache.
using accel::detail::kAntialiasNames;
using accel::detail::kFreqNames;
using accel::detail::kNoiseNames;
using accel::detail::kRangeNames;

struct SettingsHead {
  char text[119];
  uint8_t size;
};
constexpr size_t kSettingsCount =
    kRangeNames.size() * kFreqNames.size() * kNoiseNames.size() * kAntialiasNames.size();

constexpr size_t settings_index(uint32_t range, uint32_t freq, uint32_t noise,
                                uint32_t antialias) {
  return ((range * kFreqNames.size() + freq) * kNoiseNames.size() + noise) *
             kAntialiasNames.size() +
         antialias;
}

constexpr std::string_view kSettingsPrefix = R"({"Accel":{"V3":{"range":")";
// Where the version digit stands in every settings head.
constexpr size_t kVersionDigit = kSettingsPrefix.find('3');

VORLANE_FUSED_TABLE std::array<SettingsHead, kSettingsCount> kSettingsHeads;

}  // namespace vorlane::fused
