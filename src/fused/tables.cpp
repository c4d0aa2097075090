// The tables are built at compile time, once, here.
#include "fused/tables.h"

#include "fused/text.h"

namespace vorlane::fused {
namespace {

// The text of a value and its length, in one word: the one description of a
// value's text, from which both tables (and so the measure and the writer)
// are made.
constexpr uint64_t text_entry(int v) {
  const unsigned n = text_length(v);
  unsigned magnitude = static_cast<unsigned>(v < 0 ? -v : v);
  uint64_t entry = uint64_t{n} << 56;
  for (unsigned i = n; i-- > (v < 0 ? 1u : 0u);) {
    entry |= uint64_t{'0' + magnitude % 10} << (8 * i);
    magnitude /= 10;
  }
  if (v < 0) entry |= uint64_t{'-'};
  return entry;
}

constexpr std::array<uint8_t, 65536> make_lengths() {
  std::array<uint8_t, 65536> table{};
  for (size_t u = 0; u < table.size(); ++u) {
    table[u] = static_cast<uint8_t>(text_entry(from_wire(static_cast<uint16_t>(u))) >> 56);
  }
  return table;
}

constexpr std::array<uint64_t, kTextCount> make_texts() {
  std::array<uint64_t, kTextCount> table{};
  for (size_t u = 0; u < kTextCount; ++u) table[u] = text_entry(from_wire(static_cast<uint16_t>(u)));
  return table;
}

constexpr std::array<SettingsHead, kSettingsCount> make_settings_heads() {
  std::array<SettingsHead, kSettingsCount> heads{};
  for (uint32_t r = 0; r < kRangeNames.size(); ++r) {
    for (uint32_t f = 0; f < kFreqNames.size(); ++f) {
      for (uint32_t n = 0; n < kNoiseNames.size(); ++n) {
        for (uint32_t a = 0; a < kAntialiasNames.size(); ++a) {
          SettingsHead& head = heads[settings_index(r, f, n, a)];
          size_t size = 0;
          for (std::string_view part :
               {kSettingsPrefix, kRangeNames[r], std::string_view(R"(","freq":")"),
                kFreqNames[f], std::string_view(R"(","noise":")"), kNoiseNames[n],
                std::string_view(R"(","antialias":")"), kAntialiasNames[a],
                std::string_view("\""), text::kAccTemp}) {
            for (char c : part) head.text[size++] = c;
          }
          head.size = static_cast<uint8_t>(size);
        }
      }
    }
  }
  return heads;
}

}  // namespace

constexpr std::array<uint8_t, 65536> kTextLength = make_lengths();
alignas(64) constexpr std::array<uint64_t, kTextCount> kText = make_texts();
alignas(64) constexpr std::array<SettingsHead, kSettingsCount> kSettingsHeads =
    make_settings_heads();

namespace {
constexpr bool settings_heads_fit_two_copies() {
  for (const SettingsHead& head : kSettingsHeads) {
    if (head.size < 64 || head.size > sizeof head.text) return false;
  }
  return true;
}
static_assert(settings_heads_fit_two_copies(), "every head is 64 to 119 bytes");

}  // namespace

}  // namespace vorlane::fused
