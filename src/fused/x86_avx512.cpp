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

// The compares' bounds of text_of_block, made once: the compiler would
// otherwise build each again at every block, as it sees them constant.
struct TextBounds {
  __m512i unit, b19, b199, b1999, b19999;
};
__attribute__((target("avx512f,avx512bw"), always_inline)) inline TextBounds text_bounds() noexcept {
  TextBounds t{_mm512_set1_epi16(1), _mm512_set1_epi16(19), _mm512_set1_epi16(199),
               _mm512_set1_epi16(1999), _mm512_set1_epi16(19999)};
  asm("" : "+v"(t.unit), "+v"(t.b19), "+v"(t.b199), "+v"(t.b1999), "+v"(t.b19999));
  return t;
}

// The text length of the kept values of a block beyond one digit each: one
// more per power of ten reached, and the sign of the odd (negative) wire
// values (the magnitude of wire value u is (u + 1) / 2, so it reaches 10^d
// exactly when u reaches 2 * 10^d - 1). Counted from compare masks, not
// summed in lanes: no chain of lane adds from block to block.
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
  const TextBounds bounds = text_bounds();
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

    text += k + text_of_block(values, keep, bounds);
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
// Eight samples a step, their 24 values turned into digits in 16-bit lanes
// rather than looked up, so that nothing is loaded value by value or moved
// from the general registers: m / 100 and m % 100 by a multiply-high, each
// of those split into two digits the same way, the digits of the leading
// zeros left as zero bytes and the others given their '0', and the signs as
// '-' bytes or zeros in the lanes left over. One two-register byte permute
// then lays out two samples at their widest (32 bytes each: a sign and four
// digits a value), its fragments taken from the permute's own index; the
// non-zero bytes are the characters present, and one compress closes the
// gaps before a 64-byte store. Blocks holding a value of five digits (rare:
// the int16 limits) take the AVX2 samples instead.
constexpr size_t kOctet = 8;
// The widest value the digits cover, 9999 or -9999, as a wire value.
constexpr uint16_t kMaxOctetWire = 2 * 9999;
static_assert(kSampleFixed + 3 * (1 + 4) == 32, "two samples at their widest fill 64 bytes");

// Where the permute finds each character of value v (of the block's 24)
// in the 128 bytes of the two digit registers: the low one holds the
// hundreds digit then the thousands digit in lane v, the high one the ones
// then the tens, and each holds signs in its top 16 bytes.
constexpr uint8_t sign_byte(size_t v) { return static_cast<uint8_t>(v < 16 ? 48 + v : 64 + 48 + (v - 16)); }
constexpr uint8_t digit_byte(size_t v, size_t k) {  // k: 0 for thousands .. 3 for ones
  constexpr uint8_t kAt[4] = {1, 0, 64 + 1, 64 + 0};
  return static_cast<uint8_t>(kAt[k] + 2 * v);
}

struct OctetLayout {
  alignas(64) uint8_t index[kOctet / 2][64];  // a pair's source bytes; fragments as themselves
  uint64_t value_places = 0;                  // places that take a source byte
};

constexpr OctetLayout make_octet_layout() {
  OctetLayout row{};
  for (size_t pair = 0; pair < kOctet / 2; ++pair) {
    size_t at = 0;
    for (size_t sample = 0; sample < 2; ++sample) {
      const std::string_view fragments[3] = {kNextX, kY, kZ};
      for (size_t k = 0; k < 3; ++k) {
        for (char c : fragments[k]) row.index[pair][at++] = static_cast<uint8_t>(c);
        const size_t v = 3 * (2 * pair + sample) + k;
        if (pair == 0) row.value_places |= uint64_t{0x1F} << at;
        row.index[pair][at++] = sign_byte(v);
        for (size_t d = 0; d < 4; ++d) row.index[pair][at++] = digit_byte(v, d);
      }
    }
  }
  return row;
}
alignas(64) constexpr OctetLayout kOctetLayout = make_octet_layout();

// A constant the compiler may not look into: it would otherwise turn the
// multiplies by 100 and 246 into several shifts and adds each, and set the
// others up again on every block.
__attribute__((target("avx512f"), always_inline)) inline __m512i held(__m512i v) noexcept {
  asm("" : "+v"(v));
  return v;
}

}  // namespace

bool read_samples_avx512(const uint8_t* base, const uint8_t*& p, const uint8_t* end,
                         uint16_t* out, uint16_t* out_end, size_t& text,
                         WireError& error) noexcept {
  if (end - base <= static_cast<ptrdiff_t>(kWindow) && out_end - out >= 3 * kShortWindowFrom &&
      read_short_avx2(base, p, end, out, out_end, text)) {
    return true;
  }
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
  constexpr __mmask32 kLanes = (1u << (3 * kOctet)) - 1;
  __m512i index[kOctet / 2];
  for (size_t i = 0; i < kOctet / 2; ++i) index[i] = held(_mm512_load_si512(kOctetLayout.index[i]));
  const __mmask64 value_places = kOctetLayout.value_places;
  const __m512i one = held(_mm512_set1_epi16(1));
  const __m512i by200 = held(_mm512_set1_epi16(10486));
  const __m512i hundred = held(_mm512_set1_epi16(100));
  const __m512i by10 = held(_mm512_set1_epi16(6554));
  const __m512i c246 = held(_mm512_set1_epi16(246));
  const __m512i wire10 = held(_mm512_set1_epi16(19));
  const __m512i wire100 = held(_mm512_set1_epi16(199));
  const __m512i wire1000 = held(_mm512_set1_epi16(1999));
  const __m512i zero_low = held(_mm512_set1_epi16('0'));
  const __m512i zero_high = held(_mm512_set1_epi16('0' << 8));
  const __m512i dash = held(_mm512_set1_epi8('-'));
  const __m512i widest = held(_mm512_set1_epi16(static_cast<int16_t>(kMaxOctetWire)));
  const auto in_range = [&](const uint16_t* t) __attribute__((target("avx512f,avx512bw"))) {
    return _mm512_cmpgt_epu16_mask(_mm512_maskz_loadu_epi16(kLanes, t), widest) == 0;
  };
  struct Digits { __m512i high, low; };
  const auto digits = [&](const uint16_t* t)
      __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt,avx2"))) {
    const __m512i u = _mm512_maskz_loadu_epi16(kLanes, t);  // zeros past the 24
    // The magnitude of wire value u is m = (u + 1) / 2, so m / 100 is
    // (u + 1) / 200: a multiply-high by 2^21 / 200 rounded up, exact below
    // 2^16 / 3.
    const __m512i u1 = _mm512_add_epi16(u, one);
    const __m512i hundreds = _mm512_srli_epi16(_mm512_mulhi_epu16(u1, by200), 5);
    const __m512i rest =
        _mm512_sub_epi16(_mm512_srli_epi16(u1, 1), _mm512_mullo_epi16(hundreds, hundred));
    // x + 246 * (x / 10) for x below 100: the ones digit in the low byte, the
    // tens in the high one (x / 10 is a multiply-high by 2^16 / 10 rounded up).
    __m512i high =
        _mm512_add_epi16(hundreds, _mm512_mullo_epi16(_mm512_mulhi_epu16(hundreds, by10), c246));
    __m512i low = _mm512_add_epi16(rest, _mm512_mullo_epi16(_mm512_mulhi_epu16(rest, by10), c246));
    // '0' for the digits present: the ones always, the tens from 10 (wire
    // 19), the hundreds from 100 (199), the thousands from 1000 (1999).
    low = _mm512_mask_add_epi16(low, kLanes, low, zero_low);
    low = _mm512_mask_add_epi16(low, _mm512_cmpge_epu16_mask(u, wire10), low, zero_high);
    high = _mm512_mask_add_epi16(high, _mm512_cmpge_epu16_mask(u, wire100), high, zero_low);
    high = _mm512_mask_add_epi16(high, _mm512_cmpge_epu16_mask(u, wire1000), high, zero_high);
    const uint64_t negative = _mm512_test_epi16_mask(u, one);  // odd wire values
    high = _mm512_mask_mov_epi8(high, (negative & 0xFFFF) << 48, dash);
    low = _mm512_mask_mov_epi8(low, (negative >> 16) << 48, dash);
    return Digits{high, low};
  };
  const auto emit = [&](char* to, Digits d)
      __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt,avx2"))) {
    const __m512i high = d.high, low = d.low;
#pragma GCC unroll 4
    for (size_t i = 0; i < kOctet / 2; ++i) {
      const __m512i text = _mm512_mask2_permutex2var_epi8(high, index[i], value_places, low);
      const __mmask64 present = _mm512_test_epi8_mask(text, text);
      _mm512_storeu_si512(to, _mm512_maskz_compress_epi8(present, text));
      size_t length = static_cast<size_t>(__builtin_popcountll(present));
      bits::opaque(length);
      to += length;
    }
    return to;
  };
  // Each block's digits are worked out before the block before it is
  // written, so that their chain of multiplies overlaps that block's stores.
  char* to = out;
  const uint16_t* t = s;
  for (size_t fit; (fit = samples_that_fit(to, end, t, s_last)) != 0;) {
    const uint16_t* const stop = t + 3 * fit;
    while (t != stop) {
      if (static_cast<size_t>(stop - t) >= 3 * kOctet && in_range(t)) [[likely]] {
        Digits d = digits(t);
        for (;;) {
          const uint16_t* const next = t + 3 * kOctet;
          if (static_cast<size_t>(stop - next) >= 3 * kOctet && in_range(next)) [[likely]] {
            const Digits n = digits(next);
            to = emit(to, d);
            t = next;
            d = n;
            continue;
          }
          to = emit(to, d);
          t = next;
          break;
        }
        continue;
      }
      to = put_any_sample_avx2(to, t);
      t += 3;
    }
  }
  out = to;
  s = t;
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
