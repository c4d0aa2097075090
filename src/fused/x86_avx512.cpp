// The avx512 path's kernels: the sample reader with AVX-512 VBMI2 and PEXT,
// the writer with AVX-512 VBMI2.
#include <immintrin.h>

#include <array>

#include "fused/document.h"
#include "fused/reader.h"
#include "fused/samples.h"
#include "fused/x86_avx2.h"

namespace vorlane::fused {
namespace {

// PEXT without a target attribute on the callers, so that the plain
// reader's templates take it as they are: this path runs only where the
// CPU has BMI2.
inline uint64_t pext_groups(uint64_t w) noexcept {
  uint64_t bits;
  asm("pextq %2, %1, %0" : "=r"(bits) : "r"(w), "r"(0x7F7F7F7F7F7F7F7Full));
  return bits;
}

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

// Byte permutes (of the window before and this one, as vpermt2b takes
// them) that bring to 16-bit lane j of half h of a window the byte before
// byte j (low) and byte j itself (high), and the byte two before byte j.
struct EndIndexes {
  alignas(64) uint8_t pair[2][64];
  alignas(64) uint8_t before2[2][64];
};
constexpr EndIndexes make_end_indexes() {
  EndIndexes t{};
  // Byte k of this window is index 64 + k; of the window before, 64 + k
  // too (k < 0 counts back from its end).
  for (size_t h = 0; h < 2; ++h) {
    for (size_t i = 0; i < 32; ++i) {
      const size_t j = 32 * h + i;
      t.pair[h][2 * i] = static_cast<uint8_t>(64 + j - 1);
      t.pair[h][2 * i + 1] = static_cast<uint8_t>(64 + j);
      t.before2[h][2 * i] = static_cast<uint8_t>(64 + j - 2);
      t.before2[h][2 * i + 1] = static_cast<uint8_t>(64 + j - 2);
    }
  }
  return t;
}
alignas(64) constexpr EndIndexes kEndIndexes = make_end_indexes();

// The summed text length of the values in [from, to): a digit, one more
// per power of ten reached, and the sign of the odd (negative) wire values
// (the magnitude of wire value u is (u + 1) / 2, so it reaches 10^d
// exactly when u reaches 2 * 10^d - 1). Counted from compare masks, not
// summed in lanes: no chain of lane adds from block to block.
// The compares' bounds, made once: the compiler would otherwise build each
// again at every block, as it sees them constant.
struct TextBounds {
  __m512i unit, b19, b199, b1999, b19999;
};
__attribute__((target("avx512f,avx512bw"), always_inline)) inline TextBounds text_bounds() noexcept {
  TextBounds t{_mm512_set1_epi16(1), _mm512_set1_epi16(19), _mm512_set1_epi16(199),
               _mm512_set1_epi16(1999), _mm512_set1_epi16(19999)};
  asm("" : "+v"(t.unit), "+v"(t.b19), "+v"(t.b199), "+v"(t.b1999), "+v"(t.b19999));
  return t;
}

__attribute__((target("avx512f,avx512bw,popcnt"), always_inline)) inline size_t text_of_block(
    __m512i u, __mmask32 keep, const TextBounds& t) noexcept {
  const auto at_least = [&](__m512i bound) __attribute__((target("avx512f,avx512bw"))) {
    return uint64_t{_mm512_mask_cmpge_epu16_mask(keep, u, bound)};
  };
  const uint64_t negative = _mm512_mask_test_epi16_mask(keep, u, t.unit);
  return static_cast<size_t>(_mm_popcnt_u64(negative | at_least(t.b19) << 32) +
                             _mm_popcnt_u64(at_least(t.b199) | at_least(t.b1999) << 32) +
                             _mm_popcnt_u64(at_least(t.b19999)));
}

// In line where the window loop calls it: a call there would spill or
// reload the loop's constants at every window.
__attribute__((target("avx512f,avx512bw,popcnt"), always_inline)) inline size_t text_of_avx512(
    const uint16_t* from, const uint16_t* to, const TextBounds& t) noexcept {
  size_t total = static_cast<size_t>(to - from);
  for (; to - from >= 32; from += 32) total += text_of_block(_mm512_loadu_si512(from), ~__mmask32{0}, t);
  if (from != to) {
    const auto rest = static_cast<__mmask32>((uint64_t{1} << (to - from)) - 1);
    total += text_of_block(_mm512_maskz_loadu_epi16(rest, from), rest, t);
  }
  return total;
}

__attribute__((target("avx512f,avx512bw,popcnt"))) size_t text_of_values_avx512(
    const uint16_t* from, const uint16_t* to) noexcept {
  return text_of_avx512(from, to, text_bounds());
}

// Inputs from which the fixed steps pay (below it the other readers are
// as fast).
constexpr size_t kStepsFrom = 448;

// Whole samples from 64-byte windows that follow each other in the input
// whatever they hold, so that no window waits on the one before (a window's
// start from its own ends would: load, mask, count, add, for every ten
// samples). Each varint is read at the byte where it ends, from that byte
// and the one or two before it, which one permute of this window and the
// one before brings to its 16-bit lane; the ends' lanes are compressed to
// the front, half a window at a time. Stops before a window whose stores
// would pass the run's end (a store writes 32 lanes) or that holds a fault
// (a varint of four bytes or more, a third byte above 3), then goes back
// to its last whole sample: the rest is left to the other readers. The
// byte before `p` must end a varint, or `p` be `base`. Returns the text
// length of the values before `measured`, which it sets (the rest are
// measured later, once their stores are done).
__attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt"))) size_t
read_values_avx512_steps(const uint8_t*& p_ref, const uint8_t* end, uint16_t*& out_ref,
                         const uint16_t* out_end, const uint16_t*& measured_ref) noexcept {
  // Locals, not the references, which the vector stores could alias: the
  // pointer would go through memory at every window.
  uint16_t* out = out_ref;
  uint16_t* const first = out;
  const uint8_t* w = p_ref;
  const __m512i pair0 = _mm512_load_si512(kEndIndexes.pair[0]);
  const __m512i pair1 = _mm512_load_si512(kEndIndexes.pair[1]);
  const __m512i low7 = _mm512_set1_epi16(0x7F);
  // The window before the first: nothing but ends.
  __m512i before = _mm512_setzero_si512();
  uint64_t carry = 0;
  uint64_t last_ends = 0;
  size_t text = 0;
  const uint16_t* measured = first;
  unsigned windows = 0;
  constexpr ptrdiff_t kLag = 128;
  const TextBounds bounds = text_bounds();
  // The value of the varint ending at each byte of half h, where c1 (c2)
  // marks the lanes whose byte before (two before) carries on.
  const auto values = [&](__m512i v, __m512i pair_index, __mmask32 c1)
      __attribute__((target("avx512f,avx512bw,avx512vbmi"))) {
    const __m512i pair = _mm512_permutex2var_epi8(before, pair_index, v);
    // (low & 0x7F) | (high << 7): the low seven bits from the pair, the rest
    // from it shifted down by one (the end byte's top bit is clear); seven
    // bits lower, the end byte alone.
    const __m512i two = _mm512_ternarylogic_epi32(pair, _mm512_srli_epi16(pair, 1), low7, 0xE4);
    return _mm512_mask_srli_epi16(two, static_cast<__mmask32>(~c1), two, 7);
  };
  const auto third = [&](__m512i v, __m512i value, size_t h, __mmask32 c2)
      __attribute__((target("avx512f,avx512bw,avx512vbmi"))) {
    const __m512i low = _mm512_permutex2var_epi8(
        before, _mm512_load_si512(kEndIndexes.before2[h]), v);
    const __m512i three = _mm512_ternarylogic_epi32(low, _mm512_slli_epi16(value, 7), low7, 0xE4);
    return _mm512_mask_mov_epi16(value, c2, three);
  };
  while (end - w >= 64) {
    const __m512i v = _mm512_loadu_si512(w);
    const uint64_t cont = _mm512_movepi8_mask(v);
    const uint64_t ends = ~cont;
    const auto count = static_cast<ptrdiff_t>(_mm_popcnt_u64(ends));
    const auto count_lo = static_cast<ptrdiff_t>(_mm_popcnt_u32(static_cast<uint32_t>(ends)));
    // The second store writes 32 lanes from the first half's values.
    if (out_end - out < count_lo + 32) break;
    const uint64_t c1 = (cont << 1) | (carry >> 63);
    const uint64_t c2 = (cont << 2) | (carry >> 62);
    const uint64_t long3 = c1 & c2;  // bytes at least third of a varint
    __m512i lo = values(v, pair0, static_cast<__mmask32>(c1));
    __m512i hi = values(v, pair1, static_cast<__mmask32>(c1 >> 32));
    if (long3 != 0) [[unlikely]] {
      if (_mm512_mask_cmpgt_epu8_mask(long3, v, _mm512_set1_epi8(3)) != 0) break;
      lo = third(v, lo, 0, static_cast<__mmask32>(long3));
      hi = third(v, hi, 1, static_cast<__mmask32>(long3 >> 32));
    }
    const auto ends_lo = static_cast<__mmask32>(ends);
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi16(ends_lo, lo));
    _mm512_storeu_si512(out + count_lo,
                        _mm512_maskz_compress_epi16(static_cast<__mmask32>(ends >> 32), hi));
    out += count;
    w += 64;
    before = v;
    carry = cont;
    last_ends = ends;
    // A block of the values a few windows back each window (their
    // stores done by then), the rest every 16 windows.
    if (out - measured >= 32 + kLag) {
      text += 32 + text_of_block(_mm512_loadu_si512(measured), ~__mmask32{0}, bounds);
      measured += 32;
    }
    if (++windows % 16 == 0 && out - measured >= kLag) {
      text += text_of_avx512(measured, out - kLag, bounds);
      measured = out - kLag;
    }
  }
  measured_ref = measured;
  if (windows == 0) return 0;
  // Back to the start of the last whole sample: a window holds at least 21
  // ends, more than the two values to drop.
  const auto drop = static_cast<size_t>(out - first) % 3;
  for (size_t i = 0; i < drop; ++i) last_ends ^= uint64_t{1} << (63 - bits::countl_zero(last_ends));
  p_ref = w - bits::countl_zero(last_ends);
  out_ref = out - drop;  // still kLag past `measured`
  return text;
}

// ---- AVX-512 writer -----------------------------------------------------
//
// Two samples a step. Each sample's text is first laid out at its widest,
// 32 bytes (every value given the five characters of the table's widest):
// one byte permute of the six entries puts the value bytes there, merged
// into the fixed fragments; a second permute spreads each entry's length to
// its bytes, against which the bytes' places in their values give the mask
// of the characters that are there; one compress closes the gaps and a
// 64-byte store writes both samples.
struct PairLayout {
  alignas(64) uint8_t values[64];     // permute: the entry byte for each place
  alignas(64) uint8_t lengths[64];    // permute: that entry's length byte
  alignas(64) uint8_t places[64];     // place within the value, 0 for fragments
  alignas(64) uint8_t fragments[64];
  uint64_t value_places;              // places that take a value byte
};

constexpr PairLayout make_pair_layout() {
  PairLayout row{};
  size_t at = 0;
  for (size_t sample = 0; sample < 2; ++sample) {
    const std::string_view fragments[3] = {kNextX, kY, kZ};
    for (size_t v = 0; v < 3; ++v) {
      for (char c : fragments[v]) {
        row.fragments[at] = static_cast<uint8_t>(c);
        row.lengths[at] = 7;  // the first entry's length, never 0
        ++at;
      }
      const size_t entry = 3 * sample + v;
      for (size_t k = 0; k < kMaxTableText; ++k) {
        row.values[at] = static_cast<uint8_t>(8 * entry + k);
        row.lengths[at] = static_cast<uint8_t>(8 * entry + 7);
        row.places[at] = static_cast<uint8_t>(k);
        row.value_places |= uint64_t{1} << at;
        ++at;
      }
    }
  }
  return row;
}
alignas(64) constexpr PairLayout kPairLayout = make_pair_layout();
static_assert(2 * (kSampleFixed + 3 * kMaxTableText) == 64, "two samples at their widest fill 64 bytes");

}  // namespace

bool read_samples_avx512(const uint8_t* base, const uint8_t*& p, const uint8_t* end,
                         uint16_t* out, uint16_t* out_end, size_t& text,
                         WireError& error) noexcept {
  text = 0;
  // Fixed steps first, then the windows that find their own starts for the
  // run's end (whole samples, up to the fault exactly), then the plain reader.
  if (end - p >= static_cast<ptrdiff_t>(kStepsFrom) && (p == base || p[-1] < 0x80)) {
    const uint16_t* measured = out;
    text = read_values_avx512_steps(p, end, out, out_end, measured);
    // The last values of the steps measured after the next reader, by when
    // their stores are done (a load across two stores in flight waits).
    const uint16_t* const stepped = out;
    if (end - p >= static_cast<ptrdiff_t>(kWindowRead)) text += read_values_avx512(p, end, out, out_end);
    text += text_of_values_avx512(measured, stepped);
  } else if (end - p >= static_cast<ptrdiff_t>(kWindowRead)) {
    text = read_values_avx512(p, end, out, out_end);
  }
  return read_samples<pext_groups>(base, p, end, out, out_end, text, error);
}

__attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt,avx2"))) void long_run_avx512(
    char*& out, const char* end, const uint16_t*& s, const uint16_t* s_last) noexcept {
  const __m512i values_index = _mm512_load_si512(kPairLayout.values);
  const __m512i lengths_index = _mm512_load_si512(kPairLayout.lengths);
  const __m512i places = _mm512_load_si512(kPairLayout.places);
  const __m512i fragments = _mm512_load_si512(kPairLayout.fragments);
  const __mmask64 value_places = kPairLayout.value_places;
  const auto entry = [](uint16_t u) __attribute__((target("avx2"))) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kText[u]));
  };
  const auto block = [&](char* to, const uint16_t* t)
      __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt,avx2"))) {
    for (size_t i = 0; i < kCheckedBlock; i += 2, t += 6) {
      const __m128i e01 = _mm_unpacklo_epi64(entry(t[0]), entry(t[1]));
      const __m128i e23 = _mm_unpacklo_epi64(entry(t[2]), entry(t[3]));
      const __m128i e45 = _mm_unpacklo_epi64(entry(t[4]), entry(t[5]));
      const __m512i entries = _mm512_inserti32x4(
          _mm512_castsi256_si512(_mm256_inserti128_si256(_mm256_castsi128_si256(e01), e23, 1)),
          e45, 2);
      const __m512i text =
          _mm512_mask_permutexvar_epi8(fragments, value_places, values_index, entries);
      // (The zero-masking form: the plain one trips a false
      // uninitialised warning in the compiler's own header at -O3.)
      const __m512i lengths = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, lengths_index, entries);
      const __mmask64 present = _mm512_cmplt_epu8_mask(places, lengths);
      _mm512_storeu_si512(to, _mm512_maskz_compress_epi8(present, text));
      size_t length = static_cast<size_t>(__builtin_popcountll(present));
      bits::opaque(length);
      to += length;
    }
    return to;
  };
  long_run_blocks(out, end, s, s_last, in_table_avx2, block, any_sample_avx2);
}

// ---- splitter -------------------------------------------------------------
namespace {

// Word permutes that take axis `axis` of 32 samples out of their 96 values:
// the first from the first 64 values, the second keeps those and takes the
// rest from the last 32.
struct AxisPermutes {
  alignas(64) uint16_t from_ab[32];
  alignas(64) uint16_t with_c[32];
};

constexpr AxisPermutes axis_permutes(size_t axis) {
  AxisPermutes t{};
  for (size_t i = 0; i < 32; ++i) {
    const size_t at = 3 * i + axis;
    t.from_ab[i] = static_cast<uint16_t>(at < 64 ? at : 0);
    t.with_c[i] = static_cast<uint16_t>(at < 64 ? i : 32 + (at - 64));
  }
  return t;
}
alignas(64) constexpr AxisPermutes kAxisPermutes[3] = {axis_permutes(0), axis_permutes(1),
                                                       axis_permutes(2)};

}  // namespace

__attribute__((target("avx512f,avx512bw,ssse3"))) void split_samples_avx512(
    const uint16_t* wire, size_t count, int16_t* x, int16_t* y, int16_t* z) noexcept {
  int16_t* const axes[3] = {x, y, z};
  __m512i from_ab[3], with_c[3];
  for (size_t k = 0; k < 3; ++k) {
    from_ab[k] = _mm512_load_si512(kAxisPermutes[k].from_ab);
    with_c[k] = _mm512_load_si512(kAxisPermutes[k].with_c);
  }
  const __m512i unit = _mm512_set1_epi16(1);
  size_t i = 0;
  for (; i + 32 <= count; i += 32, wire += 96) {
    const __m512i a = _mm512_loadu_si512(wire);
    const __m512i b = _mm512_loadu_si512(wire + 32);
    const __m512i c = _mm512_loadu_si512(wire + 64);
    for (size_t k = 0; k < 3; ++k) {
      const __m512i v =
          _mm512_permutex2var_epi16(_mm512_permutex2var_epi16(a, from_ab[k], b), with_c[k], c);
      // zigzag: v >> 1, negated where v is odd.
      const __m512i sign = _mm512_sub_epi16(_mm512_setzero_si512(), _mm512_and_si512(v, unit));
      _mm512_storeu_si512(axes[k] + i, _mm512_xor_si512(_mm512_srli_epi16(v, 1), sign));
    }
  }
  split_samples_ssse3(wire, count - i, x + i, y + i, z + i);
}

}  // namespace vorlane::fused
