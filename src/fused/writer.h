// What every sample writer shares: the wide stores of one sample from its
// values' text entries, the room they need, and the layouts of a sample's
// bytes that the vector writers fill with one shuffle or table lookup.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/bits.h"
#include "fused/tables.h"
#include "fused/text.h"

namespace vorlane::fused {

using namespace text;

// ---- fixed fragments ------------------------------------------------------

constexpr uint64_t pack8(std::string_view s) {
  uint64_t v = 0;
  for (size_t i = 0; i < s.size(); ++i) v |= uint64_t{static_cast<uint8_t>(s[i])} << (8 * i);
  return v;
}
static_assert(kFirstX.size() <= 8 && kNextX.size() <= 8 && kY.size() <= 8 && kZ.size() <= 8,
              "each sample fragment is one eight-byte store");
inline char* put8(char* out, uint64_t bytes, size_t n) noexcept {
  std::memcpy(out, &bytes, 8);
  return out + n;
}

// Every sample after the first, from the text entries of its values. The
// next sample's start is this one's plus a length summed from the entries,
// so consecutive samples wait on one add and not on each other's stores; the
// barrier keeps the compiler from chaining the sum back through the
// positions. The last store ends at most seven bytes past the sample.
inline char* put_next_sample(char* out, uint64_t ex, uint64_t ey, uint64_t ez) noexcept {
  const size_t lx = ex >> 56, ly = ey >> 56, lz = ez >> 56;
  size_t length = kSampleFixed + lx + ly + lz;
  bits::opaque(length);
  put8(out, pack8(kNextX), 8);
  put8(out + kNextX.size(), ex, 8);
  char* q = out + kNextX.size() + lx;
  put8(q, pack8(kY), 8);
  put8(q + kY.size(), ey, 8);
  q += kY.size() + ly;
  put8(q, pack8(kZ), 8);
  put8(q + kZ.size(), ez, 8);
  return out + length;
}

// Room a wide put_sample or put_next_sample needs: its last eight-byte
// store starts at most this many bytes before its end...
constexpr size_t kWideRoom = kNextX.size() + kMaxValueText + kY.size() + kMaxValueText +
                             kZ.size() + 8;
static_assert(kWideRoom == 37, "the last store of a sample starts at most 29 bytes in");

// The texts of a sample's values, as kText entries.
inline void sample_entries(const uint16_t* t, uint64_t& ex, uint64_t& ey, uint64_t& ez) noexcept {
  const uint16_t x = t[0], y = t[1], z = t[2];
  if ((x | y | z) < kTextCount) [[likely]] {  // all three in the table
    ex = kText[x];
    ey = kText[y];
    ez = kText[z];
  } else {
    ex = value_entry(x);
    ey = value_entry(y);
    ez = value_entry(z);
  }
}

// How many more samples the long-run loops may write before asking again:
// as many as surely fit at their widest, with every store inside `end`.
inline size_t samples_that_fit(const char* out, const char* end, const uint16_t* s,
                               const uint16_t* s_last) noexcept {
  const auto left = static_cast<size_t>(end - out);
  const size_t fit = left >= kWideRoom ? (left - kWideRoom) / kMaxSampleText + 1 : 0;
  const auto pending = static_cast<size_t>(s_last - s) / 3;
  return fit < pending ? fit : pending;
}

// ---- the vector writers' shared sizes -----------------------------------

// The table's widest text, "-4095".
inline constexpr size_t kMaxTableText = 5;
static_assert(text_length(-static_cast<int>(kTextCount / 2 - 1)) == kMaxTableText);
static_assert(kSampleFixed + 3 * kMaxTableText <= 32, "a sample of table values fits 32 bytes");

// Samples are checked against the table a block at a time: the values of a
// block ORed together, so that most samples take no test of their own.
inline constexpr size_t kCheckedBlock = 16;
static_assert(3 * kCheckedBlock * sizeof(uint16_t) == 3 * 32, "three loads a block");

// A sample's 32 bytes `},{"x":X,"y":Y,"z":Z` as one vector writer lays them
// out, for each length of x and y: where each byte comes from in the
// register of the value entries (`place(value, k, at)`: byte k of x, y or z,
// numbered 0 to 2, written at `at`), `none` (a zero) for the fragments and
// past the end, and the fragments, ORed in. z's eight bytes go in whole:
// what lies past the sample's end is overwritten by the next.
struct SampleLayout {
  alignas(32) uint8_t index[32];
  alignas(32) uint8_t fragments[32];
};

// Indexed by lx * 8 + ly; the rows of a length 0, 6 or 7 are never used.
template <class Place>
constexpr std::array<SampleLayout, 64> make_layouts(Place place, uint8_t none) {
  std::array<SampleLayout, 64> table{};
  for (size_t lx = 1; lx <= kMaxTableText; ++lx) {
    for (size_t ly = 1; ly <= kMaxTableText; ++ly) {
      SampleLayout& row = table[lx * 8 + ly];
      for (size_t i = 0; i < 32; ++i) row.index[i] = none;
      size_t at = 0;
      const auto fragment = [&](std::string_view text) {
        for (char c : text) row.fragments[at++] = static_cast<uint8_t>(c);
      };
      const auto value = [&](size_t n, size_t v) {
        for (size_t k = 0; k < n && at < 32; ++k, ++at) row.index[at] = place(v, k, at);
      };
      fragment(kNextX);
      value(lx, 0);
      fragment(kY);
      value(ly, 1);
      fragment(kZ);
      value(8, 2);
    }
  }
  return table;
}

// The long-run loop of the vector writers: blocks of kCheckedBlock samples
// whose values are all in the text table through `block`, the others (and
// the end of a round) one at a time through `one`. Inlined into each
// writer, whose target the three then take.
template <class InTable, class Block, class One>
[[gnu::always_inline]] inline void long_run_blocks(char*& out_ref, const char* end,
                                                   const uint16_t*& s_ref, const uint16_t* s_last,
                                                   InTable in_table, Block block, One one) noexcept {
  // Locals, not the references: stores through char* could alias them.
  char* out = out_ref;
  const uint16_t* s = s_ref;
  for (size_t fit; (fit = samples_that_fit(out, end, s, s_last)) != 0;) {
    const uint16_t* const stop = s + 3 * fit;
    while (s != stop) {
      if (static_cast<size_t>(stop - s) >= 3 * kCheckedBlock && in_table(s)) [[likely]] {
        out = block(out, s);
        s += 3 * kCheckedBlock;
        continue;
      }
      out = one(out, s);
      s += 3;
    }
  }
  out_ref = out;
  s_ref = s;
}

}  // namespace vorlane::fused
