// The portable path's sample reader: 64-bit integer code only, so that it
// runs as measured on any CPU without a vector path (riscv64, ppc64le,
// loongarch64, old x86-64).
#include <array>
#include <cstring>

#include "fused/reader.h"
#include "fused/samples.h"
#include "fused/vector.h"

namespace vorlane::fused {
namespace {

// Set bits of every byte.
constexpr std::array<uint8_t, 256> kBitCount = [] {
  std::array<uint8_t, 256> t{};
  for (unsigned m = 0; m < 256; ++m) {
    for (unsigned b = m; b != 0; b &= b - 1) ++t[m];
  }
  return t;
}();

// A sample of varints of one or two bytes each is six bytes at most. The
// top bits of its first five bytes tell their lengths; its bytes, shifted
// by 0, 8 or 16 bits under these masks, put each varint's low seven bits
// in a 16-bit lane of its own (x, y, z), its second byte above its first.
// One array a shift, so that a sample's three masks sit at one index.
struct Spread {
  uint64_t by0[32], by8[32], by16[32];
};
constexpr Spread kSpread = [] {
  Spread t{};
  for (unsigned shape = 0; shape < 32; ++shape) {
    unsigned at = 0;
    for (unsigned lane = 0; lane < 3; ++lane) {
      const unsigned length = (shape >> at & 1) != 0 ? 2 : 1;
      uint64_t bytes = 0;
      for (unsigned k = 0; k < length; ++k) bytes |= uint64_t{0x7F} << (8 * (2 * lane + k));
      const unsigned by = 2 * lane - at;  // 0, 1 or 2 bytes further
      (by == 0 ? t.by0 : by == 1 ? t.by8 : t.by16)[shape] |= bytes;
      at += length;
    }
  }
  return t;
}();

// A step takes one or two 64-byte masks; when no varint in its bytes has
// more than two bytes, they surely hold this many whole samples of at most
// six bytes.
template <unsigned kMasks>
constexpr unsigned kStepSamples = 64 * kMasks / 6;

// The three wire values of the sample at `at` in 16-bit lanes (the fourth
// zero); its varints have one or two bytes each.
inline uint64_t sample_lanes(const uint8_t* at) noexcept {
  uint64_t w;
  std::memcpy(&w, at, 8);
  const auto shape = static_cast<size_t>(((w & 0x8080808080ull) * kGatherTops) >> 56);
  const uint64_t t = (w & kSpread.by0[shape]) | ((w << 8) & kSpread.by8[shape]) |
                     ((w << 16) & kSpread.by16[shape]);
  // Each lane is lo + 256 * hi; its value is lo + 128 * hi.
  return t - ((t >> 1) & 0x00003F803F803F80ull);
}

// The samples a step of kMasks 64-byte windows at `p` surely holds, its
// varints all of one or two bytes as `cont` (where a byte carries a varint
// on) shows: each where the step's mask of varint starts puts it (not
// where the sample before it ended), its values from one eight-byte load.
// Returns where the step's samples end.
template <unsigned kMasks>
inline const uint8_t* take_step(const uint8_t* p, const uint64_t* cont, uint16_t*& out_ref,
                                size_t& text) noexcept {
  constexpr unsigned kSamples = kStepSamples<kMasks>;
  uint16_t* out = out_ref;
  // Where each varint starts, from the masks a byte at a time.
  uint8_t at[kWindow * kMasks + 8];
  unsigned count = 0;
#pragma GCC unroll 16
  for (unsigned j = 0; j < 8 * kMasks; ++j) {
    const unsigned m = j / 8;
    const uint64_t starts = (~cont[m] << 1) | (m == 0 ? 1 : ~cont[m - 1] >> 63);
    const auto byte = static_cast<unsigned>(starts >> (8 * (j % 8))) & 0xFF;
    const uint64_t entry = kSetBits[byte] + 0x0808080808080808ull * j;
    std::memcpy(at + count, &entry, 8);
    count += kBitCount[byte];
  }
  const uint16_t* const from = out;
#pragma GCC unroll 21
  for (unsigned i = 0; i < kSamples; ++i) {
    const uint64_t lanes = sample_lanes(p + at[3 * i]);
    std::memcpy(out, &lanes, 8);
    out += 3;
  }
  size_t sum = 0;
#pragma GCC unroll 63
  for (unsigned i = 0; i < 3 * kSamples; ++i) sum += kTextLength[from[i]];
  text += sum;
  out_ref = out;
  return p + at[3 * kSamples];
}

// Whole samples from steps of 64 * kMasks bytes while the input and the
// run have room for one: where the step's varints all have one or two
// bytes, take_step; otherwise the same with its first 64 bytes alone, or
// where they too hold a longer varint, the plain reader's window of them.
// Stops at a fault, which the exact readers then report. Returns the
// values' text length.
template <unsigned kMasks>
size_t read_steps(const uint8_t*& p_ref, const uint8_t* end, uint16_t*& out_ref,
                  const uint16_t* out_end) noexcept {
  const uint8_t* p = p_ref;
  uint16_t* out = out_ref;
  size_t text = 0;
  // The step's bytes (a sample's load past its last whole sample stays
  // inside them), and room for its samples and one lane more.
  while (end - p >= static_cast<ptrdiff_t>(kWindow * kMasks) &&
         out_end - out > static_cast<ptrdiff_t>(3 * kStepSamples<kMasks>)) {
    uint64_t cont[kMasks];
    uint64_t longer = 0;  // where a byte carries on a varint carried on
    for (unsigned m = 0; m < kMasks; ++m) {
      cont[m] = top_mask64_plain(p + kWindow * m);
      longer |= cont[m] & ((cont[m] << 1) | (m == 0 ? 0 : cont[m - 1] >> 63));
    }
    if (longer == 0) [[likely]] {
      p = take_step<kMasks>(p, cont, out, text);
    } else if (kMasks > 1 && (cont[0] & (cont[0] << 1)) == 0) {
      p = take_step<1>(p, cont, out, text);
    } else {
      // A varint of three bytes or more.
      bool fault = false;
      const unsigned taken = read_window<packed_groups>(p, ~cont[0], 0, out, out_end, text, fault);
      p += taken;
      if (fault || taken == 0) break;
    }
  }
  p_ref = p;
  out_ref = out;
  return text;
}

// A run of 64 bytes or more: steps, then the plain reader for the rest.
[[gnu::noinline]] bool read_long(const uint8_t* base, const uint8_t*& p, const uint8_t* end,
                                 uint16_t* out, uint16_t* out_end, size_t& text,
                                 WireError& error) noexcept {
  const uint8_t* q = p;
  // Two masks a step for long runs, whose steps' chain of masks and
  // starts is then half as long a sample; one for what is left.
  size_t sum = read_steps<2>(q, end, out, out_end);
  sum += read_steps<1>(q, end, out, out_end);
  const bool ok = read_samples<packed_groups>(base, q, end, out, out_end, sum, error);
  p = q;
  text = sum;
  return ok;
}

}  // namespace

bool read_samples_swar(const uint8_t* base, const uint8_t*& p, const uint8_t* end, uint16_t* out,
                       uint16_t* out_end, size_t& text, WireError& error) noexcept {
  // A short run (the usual device message) is the plain reader's, with
  // nothing in its way.
  if (end - p < static_cast<ptrdiff_t>(kWindow)) {
    return read_samples_portable(base, p, end, out, out_end, text, error);
  }
  return read_long(base, p, end, out, out_end, text, error);
}

}  // namespace vorlane::fused
