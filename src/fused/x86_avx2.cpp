// The avx2 path's kernels: the sample reader and writer with AVX2 alone.
#include <immintrin.h>

#include "fused/document.h"
#include "fused/reader.h"
#include "fused/samples.h"
#include "fused/x86_avx2.h"

namespace vorlane::fused {
namespace {

// Whole samples from 64-byte windows with AVX2 alone (no PEXT, which is slow
// microcode on the AMD parts before Zen 3). The starts of the varints of a
// window, eight bits at a time through kSetBits, become a list of
// positions; the values are then read four to each 128-bit lane: one
// shuffle, its indices made from those positions, brings the one to three
// bytes of each to a 32-bit lane, and two multiply-adds join their 7-bit
// groups. Stops before a window that
// holds a fault (a varint of four bytes or more, a third byte above 3), and
// while fewer than 80 bytes are left (a lane loads 16 bytes from a varint
// start inside the window), leaving the rest to the other readers. Returns
// the values' text length.
__attribute__((target("avx2,popcnt"))) size_t read_values_avx2(const uint8_t*& p,
                                                              const uint8_t* end,
                                                              uint16_t*& out,
                                                              const uint16_t* out_end) noexcept {
  constexpr int8_t Z = -128;  // a shuffle index that gives a zero byte
  // Byte i of the group's positions to the three low bytes of 32-bit lane
  // i; and the lane's first position to all of them, to be taken away.
  const __m256i spread = _mm256_setr_epi8(0, 0, 0, Z, 1, 1, 1, Z, 2, 2, 2, Z, 3, 3, 3, Z,  //
                                          4, 4, 4, Z, 5, 5, 5, Z, 6, 6, 6, Z, 7, 7, 7, Z);
  const __m256i first = _mm256_setr_epi8(0, 0, 0, Z, 0, 0, 0, Z, 0, 0, 0, Z, 0, 0, 0, Z,  //
                                         4, 4, 4, Z, 4, 4, 4, Z, 4, 4, 4, Z, 4, 4, 4, Z);
  const __m256i spread_next =
      _mm256_setr_epi8(1, 1, 1, Z, 2, 2, 2, Z, 3, 3, 3, Z, 4, 4, 4, Z,  //
                       5, 5, 5, Z, 6, 6, 6, Z, 7, 7, 7, Z, 8, 8, 8, Z);
  const __m256i next_bytes = _mm256_set1_epi32(0x00020100);
  const __m256i zero_byte = _mm256_set1_epi8(Z);
  const __m256i seven_bits = _mm256_set1_epi32(0x007F7F7F);
  const __m256i join8 = _mm256_set1_epi32(0x00018001);  // b0 + 128 b1, b2
  const __m256i join16 = _mm256_set1_epi32(0x40000001);  // + 16384 b2
  const __m256i four = _mm256_set1_epi8(4);
  const __m256i unit16 = _mm256_set1_epi16(1);
  const __m256i lane_index = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  // Text lengths, summed per lane: a digit, one more per power of ten
  // reached, and the sign of the odd (negative) wire values. The magnitude
  // of wire value u is (u + 1) / 2, so it reaches 10^d exactly when u
  // reaches 2 * 10^d - 1. The compares are signed: values and bounds are
  // shifted by 32768 alike.
  const __m256i sign16 = _mm256_set1_epi16(static_cast<int16_t>(-32768));
  const auto bound = [](int u) { return static_cast<int16_t>(u - 1 - 32768); };  // u and above
  const __m256i ge10 = _mm256_set1_epi16(bound(19));
  const __m256i ge100 = _mm256_set1_epi16(bound(199));
  const __m256i ge1000 = _mm256_set1_epi16(bound(1999));
  const __m256i ge10000 = _mm256_set1_epi16(bound(19999));
  __m256i lengths = _mm256_setzero_si256();
  const auto lane_sum = [](__m256i sums) __attribute__((target("avx2"))) {
    alignas(32) uint32_t lane[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lane), sums);
    size_t total = 0;
    for (uint32_t s : lane) total += s;
    return total;
  };
  size_t text = 0;
  unsigned windows = 0;
  // A window's list of start positions is written one window ahead of its
  // reads: read back at once, a 16-byte load over several of the 8-byte
  // stores that wrote it would wait for them to reach the cache.
  alignas(32) uint8_t lists[2][96];  // up to 64 starts, then 32 bytes stored past them
  unsigned list = 0;
  struct Window {
    __m256i v0, v1;
    uint64_t cont;
  };
  const auto open = [&](const uint8_t* q, uint8_t* at) __attribute__((target("avx2,popcnt"))) {
    Window w;
    w.v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    w.v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32));
    w.cont = uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(w.v0))} |
             uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(w.v1))} << 32;
    // Where every varint of the window starts; the one after an end in the
    // last byte starts at 64, and zeros follow, read by the last round.
    const unsigned count = start_positions(~w.cont, at);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(at + count), _mm256_setr_epi64x(64, 0, 0, 0));
    return w;
  };
  if (end - p < static_cast<ptrdiff_t>(kVectorRead) || out == out_end) return 0;
  Window window = open(p, lists[0]);
  for (;;) {
    const __m256i v0 = window.v0;
    const __m256i v1 = window.v1;
    const uint64_t cont = window.cont;
    const uint64_t ends = ~cont;
    const uint8_t* const at = lists[list];
    // Whole samples only, so that every reader after this one starts on a
    // sample, and no more than are left.
    const auto [k, taken] = window_take(ends, out, out_end);
    if (k == 0) break;
    const uint64_t used = taken == 64 ? ~uint64_t{0} : (uint64_t{1} << taken) - 1;
    // The third byte of a varint of four bytes or more has its top bit set:
    // one test finds both faults.
    const uint64_t c = cont & used;
    const uint64_t third = (c << 1) & (c << 2) & used;
    const uint64_t above3 =
        uint64_t{static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(v0, four), v0)))} |
        uint64_t{static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(v1, four), v1)))}
            << 32;
    if ((third & above3) != 0) break;
    // The next window, while this one's values are read.
    const uint8_t* const next = p + taken;
    const bool more = end - next >= static_cast<ptrdiff_t>(kVectorRead);
    if (more) window = open(next, lists[list ^ 1]);

    // Sixteen values a round; the last round may read past the k values
    // (positions up to 64, so loads inside the kVectorRead bytes) and store past them
    // where there is room, to be overwritten by whatever reads next.
    uint16_t spill[64];
    const bool room = static_cast<size_t>(out_end - out) >= ((k + 15) & ~size_t{15});
    uint16_t* const to = room ? out : spill;
    __m256i window_lengths = _mm256_setzero_si256();
    for (size_t i = 0; i < k; i += 16) {
      // Eight values in 32-bit lanes, four to each 128-bit lane.
      const auto eight = [&](size_t from) __attribute__((target("avx2"))) {
        const __m256i pos = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + from)));
        // Each value's byte offsets from its lane's first position, and the
        // next value's start: a byte before it is the value's, the others
        // are shuffled in as zeros.
        const __m256i lane_first = _mm256_shuffle_epi8(pos, first);
        const __m256i offset = _mm256_add_epi8(
            _mm256_sub_epi8(_mm256_shuffle_epi8(pos, spread), lane_first), next_bytes);
        const __m256i limit = _mm256_sub_epi8(_mm256_shuffle_epi8(pos, spread_next), lane_first);
        const __m256i index = _mm256_or_si256(
            offset, _mm256_andnot_si256(_mm256_cmpgt_epi8(limit, offset), zero_byte));
        const __m256i bytes =
            _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + at[from + 4]),
                                reinterpret_cast<const __m128i*>(p + at[from]));
        const __m256i groups = _mm256_and_si256(_mm256_shuffle_epi8(bytes, index), seven_bits);
        // b0 + 128 b1 and b2 in 16 bits each, then joined.
        return _mm256_madd_epi16(_mm256_maddubs_epi16(join8, groups), join16);
      };
      // Sixteen values in 16-bit lanes, in order.
      const __m256i values =
          _mm256_permute4x64_epi64(_mm256_packus_epi32(eight(i), eight(i + 8)), 0xD8);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i), values);

      const __m256i biased = _mm256_xor_si256(values, sign16);  // for signed compares
      __m256i length = _mm256_add_epi16(_mm256_and_si256(values, unit16), unit16);
      length = _mm256_sub_epi16(length, _mm256_cmpgt_epi16(biased, ge10));
      length = _mm256_sub_epi16(length, _mm256_cmpgt_epi16(biased, ge100));
      length = _mm256_sub_epi16(length, _mm256_cmpgt_epi16(biased, ge1000));
      length = _mm256_sub_epi16(length, _mm256_cmpgt_epi16(biased, ge10000));
      const __m256i kept =
          _mm256_cmpgt_epi16(_mm256_set1_epi16(static_cast<int16_t>(k - i)), lane_index);
      window_lengths = _mm256_add_epi16(window_lengths, _mm256_and_si256(length, kept));
    }
    lengths = _mm256_add_epi32(lengths, _mm256_madd_epi16(window_lengths, unit16));
    if (!room) std::memcpy(out, spill, k * sizeof(uint16_t));
    out += k;
    p = next;
    // A 32-bit lane gains at most 48 a window (two 16-bit lanes of up to
    // 24): summed before it can overflow.
    if (++windows == (1u << 24)) {
      text += lane_sum(lengths);
      lengths = _mm256_setzero_si256();
      windows = 0;
    }
    if (!more || out == out_end) break;
    list ^= 1;
  }
  return text + lane_sum(lengths);
}

}  // namespace

bool read_samples_avx2(const uint8_t* base, const uint8_t*& p, const uint8_t* end, uint16_t* out,
                       uint16_t* out_end, size_t& text, WireError& error) noexcept {
  return read_samples_with<read_values_avx2, kVectorRead, packed_groups>(
      base, p, end, out, out_end, text, error);
}

__attribute__((target("avx2"))) void long_run_avx2(char*& out, const char* end, const uint16_t*& s,
                                                   const uint16_t* s_last) noexcept {
  const auto block = [](char* to, const uint16_t* t) __attribute__((target("avx2"))) {
#pragma GCC unroll 4
    for (size_t i = 0; i < kCheckedBlock; ++i) to = put_table_sample_avx2(to, t + 3 * i);
    return to;
  };
  long_run_blocks(out, end, s, s_last, in_table_avx2, block, any_sample_avx2);
}

// ---- splitter (SSSE3; the sse41 path's too) -----------------------------
namespace {

// Lanes of a 16-bit shuffle: out lane j takes in lane l[j], none for -1.
__attribute__((target("ssse3"))) inline __m128i lanes(int l0, int l1, int l2, int l3, int l4,
                                                      int l5, int l6, int l7) noexcept {
  const auto lo = [](int l) { return static_cast<char>(l < 0 ? -128 : 2 * l); };
  const auto hi = [](int l) { return static_cast<char>(l < 0 ? -128 : 2 * l + 1); };
  return _mm_setr_epi8(lo(l0), hi(l0), lo(l1), hi(l1), lo(l2), hi(l2), lo(l3), hi(l3), lo(l4),
                       hi(l4), lo(l5), hi(l5), lo(l6), hi(l6), lo(l7), hi(l7));
}

__attribute__((target("ssse3"))) inline __m128i zigzag(__m128i v) noexcept {
  const __m128i sign = _mm_sub_epi16(_mm_setzero_si128(), _mm_and_si128(v, _mm_set1_epi16(1)));
  return _mm_xor_si128(_mm_srli_epi16(v, 1), sign);
}

}  // namespace

// Eight samples at a time: three loads of x, y, z interleaved, each axis
// gathered by three byte shuffles; the rest one by one.
__attribute__((target("ssse3"))) void split_samples_ssse3(const uint16_t* wire, size_t count,
                                                          int16_t* x, int16_t* y,
                                                          int16_t* z) noexcept {
  // a = x0 y0 z0 x1 y1 z1 x2 y2, b = z2 x3 y3 z3 x4 y4 z4 x5, c = y5 z5 x6 y6 z6 x7 y7 z7
  const __m128i xa = lanes(0, 3, 6, -1, -1, -1, -1, -1), xb = lanes(-1, -1, -1, 1, 4, 7, -1, -1),
                xc = lanes(-1, -1, -1, -1, -1, -1, 2, 5);
  const __m128i ya = lanes(1, 4, 7, -1, -1, -1, -1, -1), yb = lanes(-1, -1, -1, 2, 5, -1, -1, -1),
                yc = lanes(-1, -1, -1, -1, -1, 0, 3, 6);
  const __m128i za = lanes(2, 5, -1, -1, -1, -1, -1, -1), zb = lanes(-1, -1, 0, 3, 6, -1, -1, -1),
                zc = lanes(-1, -1, -1, -1, -1, 1, 4, 7);
  size_t i = 0;
  for (; i + 8 <= count; i += 8, wire += 24) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(wire));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(wire + 8));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(wire + 16));
    const auto gather = [&](__m128i from_a, __m128i from_b, __m128i from_c)
                            __attribute__((target("ssse3"))) {
      return zigzag(_mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, from_a), _mm_shuffle_epi8(b, from_b)),
                                 _mm_shuffle_epi8(c, from_c)));
    };
    _mm_storeu_si128(reinterpret_cast<__m128i*>(x + i), gather(xa, xb, xc));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y + i), gather(ya, yb, yc));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(z + i), gather(za, zb, zc));
  }
  split_samples_portable(wire, count - i, x + i, y + i, z + i);
}

}  // namespace vorlane::fused
