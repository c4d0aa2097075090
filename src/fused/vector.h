// Vector helpers the sample readers share: a window's mask of varint ends
// with each target's baseline instructions (SSE2 on x86-64, NEON on
// aarch64, plain C++ elsewhere), and the list of where its varints start.
// Only baseline instructions here: a helper inlined into a function built
// for wider ones takes those, and its copy elsewhere stays baseline.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bits.h"
#include "common/cpu.h"
#if VORLANE_X86_64
#include <immintrin.h>
#endif
#if VORLANE_AARCH64
#include <arm_neon.h>
#endif

namespace vorlane::fused {

#if VORLANE_AARCH64
// Bit k set where byte k of m0..m3 (all ones or zeros each) is set. NEON has
// no byte movemask: each byte keeps one bit of its place in eight, and three
// rounds of pairwise adds gather eight bytes' bits into one.
inline uint64_t byte_mask64(uint8x16_t m0, uint8x16_t m1, uint8x16_t m2, uint8x16_t m3) noexcept {
  const uint8x16_t place = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t low = vpaddq_u8(vandq_u8(m0, place), vandq_u8(m1, place));
  const uint8x16_t high = vpaddq_u8(vandq_u8(m2, place), vandq_u8(m3, place));
  const uint8x16_t quads = vpaddq_u8(low, high);
  return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(quads, quads)), 0);
}

inline uint64_t top_bits64(uint8x16_t v0, uint8x16_t v1, uint8x16_t v2, uint8x16_t v3) noexcept {
  const uint8x16_t top = vdupq_n_u8(0x80);
  return byte_mask64(vtstq_u8(v0, top), vtstq_u8(v1, top), vtstq_u8(v2, top), vtstq_u8(v3, top));
}
#endif

// One multiply moves the top bit of each of eight bytes to bit 56 and up.
inline constexpr uint64_t kTopBits = 0x8080808080808080ull;
inline constexpr uint64_t kGatherTops = 0x0002040810204081ull;

// Bit k set where byte k of the 64 at `p` has its top bit set, in 64-bit
// integer code alone (the portable reader's, on every target).
inline uint64_t top_mask64_plain(const uint8_t* p) noexcept {
  uint64_t tops = 0;
#pragma GCC unroll 8
  for (int k = 0; k < 8; ++k) {
    uint64_t w;
    std::memcpy(&w, p + 8 * k, 8);
    tops |= (((w & kTopBits) * kGatherTops) >> 56) << (8 * k);
  }
  return tops;
}

// Bit k set where byte k of the 64 at `p` has a clear top bit.
inline uint64_t end_mask64(const uint8_t* p) noexcept {
#if VORLANE_AARCH64
  return ~top_bits64(vld1q_u8(p), vld1q_u8(p + 16), vld1q_u8(p + 32), vld1q_u8(p + 48));
#elif VORLANE_X86_64  // SSE2 is part of every x86-64
  uint64_t tops = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    tops |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(v))} << (16 * k);
  }
  return ~tops;
#else
  return ~top_mask64_plain(p);
#endif
}

// Positions of the set bits of every byte, lowest first, and the rest of
// the eight filled with 7 so that any entry read past them stays inside
// the byte: 2 KiB, one table for the whole window.
inline constexpr std::array<uint64_t, 256> kSetBits = [] {
  std::array<uint64_t, 256> t{};
  for (unsigned m = 0; m < 256; ++m) {
    uint64_t entry = 0;
    unsigned n = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
      if ((m >> bit) & 1) entry |= uint64_t{bit} << (8 * n++);
    }
    for (; n < 8; ++n) entry |= uint64_t{7} << (8 * n);
    t[m] = entry;
  }
  return t;
}();

// The values a window gives and the bytes they take: whole samples only,
// so that every reader after it starts on a sample, and no more than the
// run has left. Inlined into the vector readers, it takes their popcount.
struct WindowTake {
  size_t values;
  unsigned bytes;
};
inline WindowTake window_take(uint64_t ends, const uint16_t* out, const uint16_t* out_end) noexcept {
  const auto total = static_cast<size_t>(__builtin_popcountll(ends));
  size_t k = total;
  if (k > static_cast<size_t>(out_end - out)) k = static_cast<size_t>(out_end - out);
  k -= k % 3;
  if (k == 0) return {0, 0};
  // The bytes come from the mask itself, not from the list of start
  // positions, so that the next window's load waits on no table: the ends
  // past the k-th, almost always at most two (a sample the window cuts),
  // are dropped from the top without a branch.
  const size_t drop = total - k;
  uint64_t kept = ends;
  if (drop <= 2) [[likely]] {
    // total >= k >= 3: neither word is ever empty. Masks, not a choice:
    // how many are dropped changes from window to window at random.
    const uint64_t top1 = uint64_t{1} << (63 - bits::countl_zero(kept));
    const uint64_t top2 = uint64_t{1} << (63 - bits::countl_zero(kept ^ top1));
    kept ^= (top1 & (0 - uint64_t{drop >= 1})) | (top2 & (0 - uint64_t{drop >= 2}));
  } else {
    // The run's last window: keep the lowest k ends.
    uint64_t rest = kept;
    for (size_t i = 1; i < k; ++i) rest &= rest - 1;
    kept &= (rest & (~rest + 1)) * 2 - 1;  // up to and with the k-th end
  }
  return {k, 64 - bits::countl_zero(kept)};
}

// The positions where the varints of a window with those ends start, into
// `at` (eight bytes of room past the last); returns how many.
inline unsigned start_positions(uint64_t ends, uint8_t* at) noexcept {
  const uint64_t starts = (ends << 1) | 1;
  unsigned count = 0;
  for (unsigned j = 0; j < 8; ++j) {
    const auto byte = static_cast<unsigned>((starts >> (8 * j)) & 0xFF);
    const uint64_t entry = kSetBits[byte] + 0x0808080808080808ull * j;
    std::memcpy(at + count, &entry, 8);
    count += static_cast<unsigned>(__builtin_popcount(byte));
  }
  return count;
}

// What the NEON reader needs left to read a window: its 64 bytes
// and a 16-byte load from a varint start in it (at most 64).
inline constexpr size_t kVectorRead = 80;

}  // namespace vorlane::fused
