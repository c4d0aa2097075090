#include "fused/samples.h"

#include <array>
#include <cstring>

#include "common/bits.h"
#include "common/cpu.h"
#include "common/cpu_path.h"
#if VORLANE_X86_64
#include <immintrin.h>
#endif
#if VORLANE_AARCH64
#include <arm_neon.h>
#endif

#include "fused/exact.h"
#include "fused/tables.h"

namespace vorlane::fused {
namespace {

// ---- fast sample reader -----------------------------------------------------
//
// A sample is three varints of one to three bytes; the bytes with a clear top
// bit end them. For a window of 64 bytes those ends are one 64-bit mask, and
// each sample takes the next three set bits of it: finding where a sample
// starts never waits for the sample before it to be decoded. The 7-bit groups
// of a sample are packed together once for all three values.

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
  uint64_t ends = 0;
  for (int k = 0; k < 8; ++k) {
    uint64_t w;
    std::memcpy(&w, p + 8 * k, 8);
    ends |= (((~w & 0x8080808080808080ull) * 0x0002040810204081ull) >> 56) << (8 * k);
  }
  return ends;
#endif
}

// The low 7 bits of each byte of `w`, packed into 56 bits.
inline uint64_t packed_groups(uint64_t w) noexcept {
  uint64_t t = w & 0x7F7F7F7F7F7F7F7Full;
  t = (t & 0x007F007F007F007Full) | ((t >> 1) & 0x3F803F803F803F80ull);
  t = (t & 0x00003FFF00003FFFull) | ((t >> 2) & 0x0FFFC0000FFFC000ull);
  return (t & 0x000000000FFFFFFFull) | ((t >> 4) & 0x00FFFFFFF0000000ull);
}

// A window is the 64 bytes one end mask covers; a sample that starts late in
// it is loaded eight bytes wide, so reading windows needs that much more.
constexpr size_t kWindow = 64;
constexpr size_t kWindowRead = kWindow + 8;
static_assert(kWindowRead == 72, "a window and one word past it");

// Value bits of a varint of 1 to 3 bytes.
constexpr uint32_t kValueMask[4] = {0, 0x7F, 0x3FFF, 0x1FFFFF};

#if VORLANE_X86_TARGETS
// PEXT without a target attribute on the callers: only run where the CPU
// was asked first (sample_reader_supported).
inline uint64_t pext_groups(uint64_t w) noexcept {
  uint64_t bits;
  asm("pextq %2, %1, %0" : "=r"(bits) : "r"(w), "r"(0x7F7F7F7F7F7F7F7Full));
  return bits;
}
#else
inline uint64_t pext_groups(uint64_t w) noexcept { return packed_groups(w); }
#endif

// Keeps one sample's wire values and adds their text length; false, keeping
// nothing, where a value passes 16 bits (a third byte above 3).
inline bool keep_sample(uint32_t x, uint32_t y, uint32_t z, uint16_t*& out,
                        size_t& text) noexcept {
  if (((x | y | z) >> 16) != 0) return false;
  out[0] = static_cast<uint16_t>(x);
  out[1] = static_cast<uint16_t>(y);
  out[2] = static_cast<uint16_t>(z);
  text += size_t{kTextLength[x]} + kTextLength[y] + kTextLength[z];
  out += 3;
  return true;
}

// Whole samples from a window of up to 64 bytes at `base`, whose varint ends
// are `ends`, starting at byte `start` of it. Stops when the samples are
// done, before a sample that runs past the window, or before a sample with a
// fault (which the exact readers then report), and returns where it stopped;
// `fault` tells which. Loads eight bytes at each sample (fourteen for a
// sample of nine bytes), so those must be readable.
template <bool kPext>
inline unsigned read_window(const uint8_t* base, uint64_t ends, unsigned start, uint16_t*& out,
                            const uint16_t* out_end, size_t& text, bool& fault) noexcept {
  while (out != out_end) {
    const uint64_t ends2 = ends & (ends - 1);
    const uint64_t ends3 = ends2 & (ends2 - 1);
    if (ends3 == 0) break;  // the sample runs past the window
    const auto e1 = (bits::countr_zero(ends));
    const auto e2 = (bits::countr_zero(ends2));
    const auto e3 = (bits::countr_zero(ends3));
    const unsigned l1 = e1 + 1 - start;
    const unsigned l2 = e2 - e1;
    const unsigned l3 = e3 - e2;
    if ((l1 | l2 | l3) > 3) {  // a varint of four bytes or more
      fault = true;
      break;
    }
    uint64_t w;
    std::memcpy(&w, base + start, 8);
    const uint64_t bits = kPext ? pext_groups(w) : packed_groups(w);
    const auto x = static_cast<uint32_t>(bits) & kValueMask[l1];
    const auto y = static_cast<uint32_t>(bits >> (7 * l1)) & kValueMask[l2];
    uint32_t z;
    if (e3 - start < 8) {
      z = static_cast<uint32_t>(bits >> (7 * (l1 + l2))) & kValueMask[l3];
    } else {
      // Nine bytes: z lies past the word.
      std::memcpy(&w, base + start + 6, 8);
      z = static_cast<uint32_t>(kPext ? pext_groups(w) : packed_groups(w)) & kValueMask[3];
    }
    if (!keep_sample(x, y, z, out, text)) {
      fault = true;
      break;
    }
    start = e3 + 1;
    ends = ends3 & (ends3 - 1);
  }
  return start;
}

// Whole samples from 64-byte windows while kWindowRead bytes are left. Stops when the
// samples are done, the bytes run short, or before a sample with a fault,
// which the exact readers then report. Returns the samples' text length.
template <bool kPext>
size_t read_windows(const uint8_t*& p, const uint8_t* end, uint16_t*& out,
                    const uint16_t* out_end) noexcept {
  size_t text = 0;
  while (out != out_end && end - p >= static_cast<ptrdiff_t>(kWindowRead)) {
    bool fault = false;
    const unsigned start = read_window<kPext>(p, end_mask64(p), 0, out, out_end, text, fault);
    p += start;
    if (fault || start == 0) break;
  }
  return text;
}

// Whole samples, one word each, while each is whole and well formed within
// eight bytes; stops before any other (or at the end of the input, as the
// padding bytes past it all have their top bit set and so end no varint).
// Returns the samples' text length.
template <bool kPext>
size_t read_words(const uint8_t*& p, uint16_t*& out, const uint16_t* out_end) noexcept {
  size_t text = 0;
  while (out != out_end) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    const uint64_t ends = ~w & 0x8080808080808080ull;
    const uint64_t ends2 = ends & (ends - 1);
    const uint64_t ends3 = ends2 & (ends2 - 1);
    if (ends3 == 0) break;  // nine bytes, or the input ends inside the sample
    const auto e1 = static_cast<unsigned>(bits::countr_zero(ends) >> 3);
    const auto e2 = static_cast<unsigned>(bits::countr_zero(ends2) >> 3);
    const auto e3 = static_cast<unsigned>(bits::countr_zero(ends3) >> 3);
    const unsigned l1 = e1 + 1;
    const unsigned l2 = e2 - e1;
    const unsigned l3 = e3 - e2;
    if ((l1 | l2 | l3) > 3) break;
    const uint64_t bits = kPext ? pext_groups(w) : packed_groups(w);
    const auto x = static_cast<uint32_t>(bits) & kValueMask[l1];
    const auto y = static_cast<uint32_t>(bits >> (7 * l1)) & kValueMask[l2];
    const auto z = static_cast<uint32_t>(bits >> (7 * (l1 + l2))) & kValueMask[l3];
    if (!keep_sample(x, y, z, out, text)) break;
    p += e3 + 1;
  }
  return text;
}

#if VORLANE_X86_TARGETS || VORLANE_AARCH64
// Positions of the set bits of every byte, lowest first, and the rest of
// the eight filled with 7 so that any entry read past them stays inside
// the byte: 2 KiB, one table for the whole window.
constexpr std::array<uint64_t, 256> kSetBits = [] {
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
#endif

#if VORLANE_X86_TARGETS
// Whole samples, thirty values at a time, from 64-byte windows while 64
// bytes are left. The varint ends of a window are one mask; the positions of
// the first bytes come out of it compressed, and the first, second and third
// bytes of every value are gathered with three byte permutes. Stops before a
// window that holds a fault (a varint of four bytes or more, a third byte
// above 3), which the other readers then meet exactly. Returns the values'
// text length.
__attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi2,popcnt"))) size_t
read_values_avx512(const uint8_t*& p, const uint8_t* end, uint16_t*& out,
                   const uint16_t* out_end) noexcept {
  alignas(64) static constexpr std::array<uint8_t, 64> kIota = [] {
    std::array<uint8_t, 64> t{};
    for (size_t i = 0; i < 64; ++i) t[i] = static_cast<uint8_t>(i);
    return t;
  }();
  alignas(64) static constexpr std::array<uint8_t, 64> kSpread = [] {
    std::array<uint8_t, 64> t{};
    for (size_t i = 0; i < 64; ++i) t[i] = static_cast<uint8_t>(i / 2);
    return t;
  }();
  constexpr __mmask64 kAll = ~__mmask64{0};
  constexpr __mmask64 kEven = 0x5555555555555555ull;
  const __m512i iota = _mm512_load_si512(kIota.data());
  const __m512i spread = _mm512_load_si512(kSpread.data());
  const __m512i three = _mm512_set1_epi8(3);
  const __m512i unit = _mm512_set1_epi16(1);
  size_t text = 0;
  while (end - p >= static_cast<ptrdiff_t>(kWindow) && out != out_end) {
    const __m512i v = _mm512_loadu_si512(p);
    const uint64_t cont = _mm512_movepi8_mask(v);
    const uint64_t ends = ~cont;
    // Whole samples only, so that every reader after this one starts on a
    // sample: at most 30 values, and no more than are left. The 30th end is
    // found alongside the count, which it almost always is.
    const uint64_t end30 = _pdep_u64(uint64_t{1} << 29, ends);
    size_t k = 30;
    uint64_t last_end = end30;
    if (end30 == 0 || out_end - out < 30) [[unlikely]] {
      k = static_cast<size_t>(_mm_popcnt_u64(ends));
      if (k > 30) k = 30;
      if (k > static_cast<size_t>(out_end - out)) k = static_cast<size_t>(out_end - out);
      k -= k % 3;
      if (k == 0) break;
      last_end = _pdep_u64(uint64_t{1} << (k - 1), ends);
    }
    const auto last = (bits::countr_zero(last_end));
    const uint64_t used = last == 63 ? ~uint64_t{0} : (uint64_t{2} << last) - 1;
    const uint64_t c = cont & used;
    if ((c & (c >> 1) & (c >> 2)) != 0) break;  // four bytes or more
    const uint64_t third = (c << 1) & (c << 2) & used;
    if (_mm512_mask_cmpgt_epu8_mask(third, v, three) != 0) break;  // third byte above 3

    const uint64_t starts = ((ends << 1) | 1) & used;
    const __m512i first = _mm512_maskz_compress_epi8(starts, iota);
    // (The zero-masking forms throughout: the plain ones trip false
    // uninitialised warnings in the compiler's own headers.)
    // The first byte's position of value i to 16-bit lane i; one permute
    // then brings the first and second bytes of every value to its lane,
    // another the third.
    const __m512i at = _mm512_maskz_permutexvar_epi8(kEven, spread, first);
    const __m512i pair_at = _mm512_or_si512(at, _mm512_slli_epi16(_mm512_add_epi16(at, unit), 8));
    const __m512i pair = _mm512_maskz_permutexvar_epi8(kAll, pair_at, v);
    const __m512i third_byte =
        _mm512_maskz_permutexvar_epi8(kEven, _mm512_add_epi16(at, _mm512_set1_epi16(2)), v);
    // A second byte where the first has its top bit, a third where both do.
    const __mmask32 has2 = _mm512_test_epi16_mask(pair, _mm512_set1_epi16(0x0080));
    const __m512i both_tops = _mm512_set1_epi16(static_cast<int16_t>(0x8080u - 0x10000u));
    const __mmask32 has3 =
        _mm512_cmpeq_epi16_mask(_mm512_and_si512(pair, both_tops), both_tops);
    const __m512i low = _mm512_and_si512(pair, _mm512_set1_epi16(0x007F));
    const __m512i middle =
        _mm512_maskz_mov_epi16(has2, _mm512_and_si512(_mm512_srli_epi16(pair, 1),
                                                      _mm512_set1_epi16(0x3F80)));
    const __m512i high = _mm512_maskz_mov_epi16(has3, _mm512_slli_epi16(third_byte, 14));
    const __m512i values = _mm512_ternarylogic_epi32(low, middle, high, 0xFE);  // a | b | c
    const auto keep = static_cast<__mmask32>((uint64_t{1} << k) - 1);
    _mm512_mask_storeu_epi16(out, keep, values);

    // Text lengths: a digit, one more per power of ten reached, and the sign
    // of the odd (negative) wire values. The magnitude of wire value u is
    // (u + 1) / 2, so it reaches 10^d exactly when u reaches 2 * 10^d - 1.
    const __mmask32 negative = _mm512_test_epi16_mask(values, unit);
    const __mmask32 ge10 = _mm512_cmpge_epu16_mask(values, _mm512_set1_epi16(19));
    const __mmask32 ge100 = _mm512_cmpge_epu16_mask(values, _mm512_set1_epi16(199));
    const __mmask32 ge1000 = _mm512_cmpge_epu16_mask(values, _mm512_set1_epi16(1999));
    const __mmask32 ge10000 = _mm512_cmpge_epu16_mask(values, _mm512_set1_epi16(19999));
    text += k + static_cast<size_t>(_mm_popcnt_u32(negative & keep)) +
            static_cast<size_t>(_mm_popcnt_u32(ge10 & keep)) +
            static_cast<size_t>(_mm_popcnt_u32(ge100 & keep)) +
            static_cast<size_t>(_mm_popcnt_u32(ge1000 & keep)) +
            static_cast<size_t>(_mm_popcnt_u32(ge10000 & keep));
    out += k;
    p += last + 1;
  }
  return text;
}

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
  if (end - p < 80 || out == out_end) return 0;
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
    const bool more = end - next >= 80;
    if (more) window = open(next, lists[list ^ 1]);

    // Sixteen values a round; the last round may read past the k values
    // (positions up to 64, so loads inside the 80 bytes) and store past them
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
#endif

#if VORLANE_AARCH64
// The AVX2 reader's design in NEON: the starts of the varints of a window
// become a list of positions through kSetBits; four values to a 128-bit
// register, one table lookup, its indices made from those positions, brings
// the one to three bytes of each to a 32-bit lane (indices of 16 and above
// give zeros, so a byte past a value's end is simply pointed off the table),
// and shifts join their 7-bit groups. Stops before a window that holds a
// fault (a varint of four bytes or more, a third byte above 3), and reads
// whole samples only, no more than are left; the other readers then go on
// exactly. Returns the values' text length.
size_t read_values_neon(const uint8_t*& p, const uint8_t* end, uint16_t*& out,
                        const uint16_t* out_end) noexcept {
  // Lane j of four: its value's first position, the next value's, and the
  // byte of the value each byte of the lane takes.
  const uint8x16_t spread = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};
  const uint8x16_t spread_next = {1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4};
  const uint8x16_t next_bytes = {0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3};
  const uint8x16_t seven_bits = vdupq_n_u8(0x7F);
  const uint8x16_t three = vdupq_n_u8(3);
  const uint16x8_t unit16 = vdupq_n_u16(1);
  const uint16x8_t lane_index = {0, 1, 2, 3, 4, 5, 6, 7};
  // Text lengths: a digit, one more per power of ten reached, and the sign
  // of the odd (negative) wire values. The magnitude of wire value u is
  // (u + 1) / 2, so it reaches 10^d exactly when u reaches 2 * 10^d - 1.
  const uint16x8_t ge10 = vdupq_n_u16(19);
  const uint16x8_t ge100 = vdupq_n_u16(199);
  const uint16x8_t ge1000 = vdupq_n_u16(1999);
  const uint16x8_t ge10000 = vdupq_n_u16(19999);
  size_t text = 0;
  alignas(16) uint8_t at[96];  // up to 64 starts, then 32 bytes of 64 past them
  // A window's loads reach 16 bytes past its last start, which is at most 64.
  while (end - p >= 80 && out != out_end) {
    const uint8x16_t v0 = vld1q_u8(p);
    const uint8x16_t v1 = vld1q_u8(p + 16);
    const uint8x16_t v2 = vld1q_u8(p + 32);
    const uint8x16_t v3 = vld1q_u8(p + 48);
    const uint64_t cont = top_bits64(v0, v1, v2, v3);
    const uint64_t ends = ~cont;
    // Whole samples only, so that every reader after this one starts on a
    // sample, and no more than are left.
    const auto [k, taken] = window_take(ends, out, out_end);
    if (k == 0) break;
    // Where every varint of the window starts; the one after an end in
    // the last byte starts at 64.
    const unsigned count = start_positions(ends, at);
    std::memset(at + count, 64, 32);
    const uint64_t used = taken == 64 ? ~uint64_t{0} : (uint64_t{1} << taken) - 1;
    // The third byte of a varint of four bytes or more has its top bit set:
    // one test finds both faults.
    const uint64_t c = cont & used;
    const uint64_t third = (c << 1) & (c << 2) & used;
    const uint64_t above3 = byte_mask64(vcgtq_u8(v0, three), vcgtq_u8(v1, three),
                                        vcgtq_u8(v2, three), vcgtq_u8(v3, three));
    if ((third & above3) != 0) break;

    // Eight values a round; the last may read past the k values (their
    // positions are 64, so loads stay inside the 80 bytes) and store past
    // them where there is room, to be overwritten by whatever reads next.
    uint16_t spill[64];
    const bool room = static_cast<size_t>(out_end - out) >= ((k + 7) & ~size_t{7});
    uint16_t* const to = room ? out : spill;
    uint16x8_t window_lengths = vdupq_n_u16(0);
    for (size_t i = 0; i < k; i += 8) {
      const auto four = [&](size_t from) {
        const uint8x16_t pos = vld1q_u8(at + from);
        const uint8x16_t first = vdupq_n_u8(at[from]);
        // Each byte's offset from the first value's start, kept where it
        // comes before the next value's start.
        const uint8x16_t offset =
            vaddq_u8(vsubq_u8(vqtbl1q_u8(pos, spread), first), next_bytes);
        const uint8x16_t limit = vsubq_u8(vqtbl1q_u8(pos, spread_next), first);
        const uint8x16_t index = vornq_u8(offset, vcltq_u8(offset, limit));
        const uint8x16_t groups =
            vandq_u8(vqtbl1q_u8(vld1q_u8(p + at[from]), index), seven_bits);
        const uint32x4_t g = vreinterpretq_u32_u8(groups);
        const uint32x4_t low = vandq_u32(g, vdupq_n_u32(0x7F));
        const uint32x4_t middle = vandq_u32(vshrq_n_u32(g, 1), vdupq_n_u32(0x3F80));
        const uint32x4_t high = vandq_u32(vshrq_n_u32(g, 2), vdupq_n_u32(0x1FC000));
        return vmovn_u32(vorrq_u32(low, vorrq_u32(middle, high)));
      };
      const uint16x8_t values = vcombine_u16(four(i), four(i + 4));
      vst1q_u16(to + i, values);

      uint16x8_t length = vaddq_u16(vandq_u16(values, unit16), unit16);
      length = vsubq_u16(length, vcgeq_u16(values, ge10));
      length = vsubq_u16(length, vcgeq_u16(values, ge100));
      length = vsubq_u16(length, vcgeq_u16(values, ge1000));
      length = vsubq_u16(length, vcgeq_u16(values, ge10000));
      const uint16x8_t kept = vcltq_u16(lane_index, vdupq_n_u16(static_cast<uint16_t>(k - i)));
      window_lengths = vaddq_u16(window_lengths, vandq_u16(length, kept));
    }
    // At most eight rounds of six per lane: no overflow.
    text += vaddlvq_u16(window_lengths);
    if (!room) std::memcpy(out, spill, k * sizeof(uint16_t));
    out += k;
    p += taken;
  }
  return text;
}
#endif

SampleReader detect_best_reader() noexcept {
  if (const cpu::Path* forced = cpu::forced_path()) return forced->reader;
  if (sample_reader_supported(SampleReader::Neon)) return SampleReader::Neon;
  if (sample_reader_supported(SampleReader::Avx512)) return SampleReader::Avx512;
  // Avx2 before Bmi2: the faster of the two on runs of 256 samples and
  // more, even where PEXT is fast (docs/speed.md).
  if (sample_reader_supported(SampleReader::Avx2)) return SampleReader::Avx2;
  return sample_reader_supported(SampleReader::Bmi2) ? SampleReader::Bmi2 : SampleReader::Portable;
}

}  // namespace

bool read_sample_values(const uint8_t* base, const uint8_t*& p, const uint8_t* end, uint16_t* out,
                        uint16_t* const out_end, SampleReader reader, size_t& text,
                        WireError& error) noexcept {
  text = 0;
  const bool pext = reader == SampleReader::Bmi2 || reader == SampleReader::Avx512;
  if (end - p >= static_cast<ptrdiff_t>(kWindowRead)) {
#if VORLANE_X86_TARGETS
    if (reader == SampleReader::Avx512) text = read_values_avx512(p, end, out, out_end);
    if (reader == SampleReader::Avx2) text = read_values_avx2(p, end, out, out_end);
#endif
#if VORLANE_AARCH64
    if (reader == SampleReader::Neon) text = read_values_neon(p, end, out, out_end);
#endif
    // What the vector reader left (or all of it), then the end of the run.
    text += pext ? read_windows<true>(p, end, out, out_end) : read_windows<false>(p, end, out, out_end);
  } else if (out != out_end && end - base <= static_cast<ptrdiff_t>(kWindow)) {
    // A whole input of up to 64 bytes, as most device messages are: one mask
    // of its varint ends, so that where a sample starts comes from the mask
    // and not from the bytes of the sample before. Bytes past the input end
    // nothing; the first 64 bytes are always there to load.
    const auto size = static_cast<unsigned>(end - base);
    const auto start = static_cast<unsigned>(p - base);  // below 62: a sample is left
    const uint64_t inside = size == 64 ? ~uint64_t{0} : (uint64_t{1} << size) - 1;
    const uint64_t ends = end_mask64(base) & inside & (~uint64_t{0} << start);
    bool fault = false;
    p = base + (pext ? read_window<true>(base, ends, start, out, out_end, text, fault)
                     : read_window<false>(base, ends, start, out, out_end, text, fault));
  }
  // Short runs and the end of long ones: one word per sample.
  text += pext ? read_words<true>(p, out, out_end) : read_words<false>(p, out, out_end);
  // Whatever the word reader left (a fault, a nine-byte sample, the end of
  // the input), one byte at a time.
  for (; out != out_end; ++out) {
    if (!read_u16(p, end, *out, error)) return false;
    text += kTextLength[*out];
  }
  return true;
}

bool sample_reader_supported(SampleReader reader) noexcept {
  if (reader == SampleReader::Portable) return true;
  if (reader == SampleReader::Neon) return VORLANE_AARCH64 && cpu::has(cpu::Feature::Neon);
#if VORLANE_X86_TARGETS
  // PEXT is one fast instruction on every CPU that has AVX-512 VBMI, but
  // slow microcode on some earlier ones that have BMI2; so both are asked.
  using cpu::Feature;
  if (reader == SampleReader::Avx2) return cpu::has(Feature::Avx2) && cpu::has(Feature::Popcnt);
  const bool fast_pext = cpu::has(Feature::Bmi2) && cpu::has(Feature::Avx512Vbmi);
  if (reader == SampleReader::Bmi2) return fast_pext;
  return fast_pext && cpu::has(Feature::Avx512Bw) && cpu::has(Feature::Avx512Vbmi2) &&
         cpu::has(Feature::Popcnt);
#else
  return false;
#endif
}

SampleReader best_sample_reader() noexcept {
  // The CPU does not change while the process runs; asked once.
  static const SampleReader best = detect_best_reader();
  return best;
}

}  // namespace vorlane::fused
