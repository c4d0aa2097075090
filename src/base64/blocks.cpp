// Vector decoding of the Base64 body. Compiled for plain x86-64: each
// function carries its own target attribute and is called only after the
// CPU has been asked (the table of CPU paths), so the module runs on any
// x86-64.
//
// Validation and translation follow the nibble-table method: a byte is a
// symbol exactly when the low-nibble and high-nibble table entries share no
// bit; a third table gives the offset from the byte to its 6-bit value.
#include "base64/blocks.h"

#include "base64/base64.h"

#if VORLANE_X86_TARGETS

#include <immintrin.h>

#include <array>
#include <cstring>

#include "base64/symbols.h"

namespace vorlane::base64::blocks {
namespace {

#define LUT_LO 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A
#define LUT_HI 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10
#define LUT_ROLL 0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0
// After the multiply-adds each 32-bit lane holds one group's three bytes,
// lowest first; this takes them out in text order.
#define PACK_LANE 2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1

// Symbols 0..127 for the 128-entry table lookup (0xFF for non-symbols).
alignas(64) constexpr std::array<uint8_t, 128> kLow128 = [] {
  std::array<uint8_t, 128> t{};
  for (size_t i = 0; i < 128; ++i) t[i] = kSymbolValue[i];
  return t;
}();

// Picks the 48 output bytes out of 16 lanes.
alignas(64) constexpr std::array<uint8_t, 64> kPack48 = [] {
  std::array<uint8_t, 64> t{};
  for (size_t j = 0; j < 48; ++j) t[j] = static_cast<uint8_t>(4 * (j / 3) + 2 - j % 3);
  return t;
}();

// Of a short text whose non-symbol bytes are the bits of `other`: how many
// '=' close it (0 to 2), or -1 where anything else is there or the last
// symbol carries surplus bits.
inline int closing_pads(const uint8_t* in, size_t n, uint64_t other) noexcept {
  if (other == 0) return 0;
  const uint64_t last = uint64_t{1} << (n - 1);
  const uint64_t last_two = last | (last >> 1);
  if (in[n - 1] != '=' || (other != last && other != last_two)) return -1;
  const int pads = other == last ? 1 : 2;
  if (pads == 2 && in[n - 2] != '=') return -1;
  // No surplus bits in the last symbol.
  const uint8_t symbol = kSymbolValue[in[n - 1 - static_cast<size_t>(pads)]];
  return (symbol & (pads == 1 ? 0x03 : 0x0F)) != 0 ? -1 : pads;
}

}  // namespace

__attribute__((target("sse4.1"))) size_t decode_sse41(const uint8_t* in, size_t len,
                                                      uint8_t* out) noexcept {
  const __m128i lut_lo = _mm_setr_epi8(LUT_LO);
  const __m128i lut_hi = _mm_setr_epi8(LUT_HI);
  const __m128i lut_roll = _mm_setr_epi8(LUT_ROLL);
  const __m128i pack = _mm_setr_epi8(PACK_LANE);
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i slash = _mm_set1_epi8('/');
  const __m128i merge_pairs = _mm_set1_epi32(0x01400140);
  const __m128i merge_words = _mm_set1_epi32(0x00011000);
  size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i hi_nibbles = _mm_and_si128(_mm_srli_epi32(text, 4), nibble);
    const __m128i lo = _mm_shuffle_epi8(lut_lo, _mm_and_si128(text, nibble));
    const __m128i hi = _mm_shuffle_epi8(lut_hi, hi_nibbles);
    if (!_mm_testz_si128(lo, hi)) break;
    const __m128i roll = _mm_shuffle_epi8(lut_roll, _mm_add_epi8(_mm_cmpeq_epi8(text, slash), hi_nibbles));
    const __m128i values = _mm_add_epi8(text, roll);
    const __m128i words = _mm_madd_epi16(_mm_maddubs_epi16(values, merge_pairs), merge_words);
    const __m128i bytes = _mm_shuffle_epi8(words, pack);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
    const auto tail = static_cast<uint32_t>(_mm_extract_epi32(bytes, 2));
    std::memcpy(out + 8, &tail, 4);
    out += 12;
  }
  return i;
}

__attribute__((target("avx2"))) size_t decode_avx2(const uint8_t* in, size_t len,
                                                   uint8_t* out) noexcept {
  const __m256i lut_lo = _mm256_setr_epi8(LUT_LO, LUT_LO);
  const __m256i lut_hi = _mm256_setr_epi8(LUT_HI, LUT_HI);
  const __m256i lut_roll = _mm256_setr_epi8(LUT_ROLL, LUT_ROLL);
  const __m256i pack = _mm256_setr_epi8(PACK_LANE, PACK_LANE);
  const __m256i gather = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i slash = _mm256_set1_epi8('/');
  const __m256i merge_pairs = _mm256_set1_epi32(0x01400140);
  const __m256i merge_words = _mm256_set1_epi32(0x00011000);
  size_t i = 0;
  for (; i + 32 <= len; i += 32) {
    const __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i hi_nibbles = _mm256_and_si256(_mm256_srli_epi32(text, 4), nibble);
    const __m256i lo = _mm256_shuffle_epi8(lut_lo, _mm256_and_si256(text, nibble));
    const __m256i hi = _mm256_shuffle_epi8(lut_hi, hi_nibbles);
    if (!_mm256_testz_si256(lo, hi)) break;
    const __m256i roll =
        _mm256_shuffle_epi8(lut_roll, _mm256_add_epi8(_mm256_cmpeq_epi8(text, slash), hi_nibbles));
    const __m256i values = _mm256_add_epi8(text, roll);
    const __m256i words =
        _mm256_madd_epi16(_mm256_maddubs_epi16(values, merge_pairs), merge_words);
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, pack), gather);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(bytes, 1));
    out += 24;
  }
  return i;
}

__attribute__((target("avx512f,avx512bw,avx512vbmi"))) size_t decode_avx512(const uint8_t* in,
                                                                             size_t len,
                                                                             uint8_t* out) noexcept {
  const __m512i table_lo = _mm512_load_si512(kLow128.data());
  const __m512i table_hi = _mm512_load_si512(kLow128.data() + 64);
  const __m512i pack = _mm512_load_si512(kPack48.data());
  const __m512i merge_pairs = _mm512_set1_epi32(0x01400140);
  const __m512i merge_words = _mm512_set1_epi32(0x00011000);
  constexpr __mmask64 kStore48 = (__mmask64{1} << 48) - 1;
  size_t i = 0;
  for (; i + 64 <= len; i += 64) {
    const __m512i text = _mm512_loadu_si512(in + i);
    // The table covers bytes below 128; the byte's own top bit marks the rest.
    const __m512i values = _mm512_permutex2var_epi8(table_lo, text, table_hi);
    if (_mm512_movepi8_mask(_mm512_or_si512(values, text)) != 0) break;
    const __m512i words =
        _mm512_madd_epi16(_mm512_maddubs_epi16(values, merge_pairs), merge_words);
    // The zero-masking form: the plain one trips a false uninitialised warning.
    _mm512_mask_storeu_epi8(out, kStore48, _mm512_maskz_permutexvar_epi8(kStore48, pack, words));
    out += 48;
  }
  return i;
}

__attribute__((target("avx512f,avx512bw,avx512vbmi"))) bool decode_short_avx512(
    const uint8_t* in, size_t n, uint8_t* out, size_t& written, int fill) noexcept {
  const __m512i table_lo = _mm512_load_si512(kLow128.data());
  const __m512i table_hi = _mm512_load_si512(kLow128.data() + 64);
  const __mmask64 loaded = n == 64 ? ~__mmask64{0} : (__mmask64{1} << n) - 1;
  const __m512i text = _mm512_maskz_loadu_epi8(loaded, in);
  const __m512i values = _mm512_permutex2var_epi8(table_lo, text, table_hi);
  // Bytes that are not symbols: only one or two '=' closing the text pass.
  const uint64_t other = _mm512_movepi8_mask(_mm512_or_si512(values, text)) & loaded;
  const int closing = closing_pads(in, n, other);
  if (closing < 0) return false;
  const auto pads = static_cast<size_t>(closing);
  const __m512i clean = _mm512_maskz_mov_epi8(~other, values);
  const __m512i merge_pairs = _mm512_set1_epi32(0x01400140);
  const __m512i merge_words = _mm512_set1_epi32(0x00011000);
  const __m512i words = _mm512_madd_epi16(_mm512_maddubs_epi16(clean, merge_pairs), merge_words);
  const size_t bytes = n / 4 * 3;
  const __mmask64 store = (__mmask64{1} << bytes) - 1;
  const __m512i pack = _mm512_load_si512(kPack48.data());
  written = bytes - pads;
  const __m512i decoded = _mm512_maskz_permutexvar_epi8(store, pack, words);
  if (fill < 0) {
    _mm512_mask_storeu_epi8(out, store, decoded);
  } else {
    const __mmask64 kept = (__mmask64{1} << written) - 1;
    _mm512_storeu_si512(out, _mm512_mask_blend_epi8(kept, _mm512_set1_epi8(static_cast<char>(fill)),
                                                    decoded));
  }
  return true;
}

// A whole text of 4 to 32 bytes the same way with AVX2, its filled form
// only: the text's whole 32-bit groups in one masked load, which reads
// nothing past them; the bytes and the fill in one 32-byte store.
__attribute__((target("avx2"))) bool decode_short_avx2(const uint8_t* in, size_t n, uint8_t* out,
                                                       size_t& written, int fill) noexcept {
  if (fill < 0 || n > 32) return false;
  const __m256i groups = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i loaded_groups =
      _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n / 4)), groups);
  const __m256i text = _mm256_maskload_epi32(reinterpret_cast<const int*>(in), loaded_groups);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i hi_nibbles = _mm256_and_si256(_mm256_srli_epi32(text, 4), nibble);
  const __m256i lo = _mm256_shuffle_epi8(_mm256_setr_epi8(LUT_LO, LUT_LO), _mm256_and_si256(text, nibble));
  const __m256i hi = _mm256_shuffle_epi8(_mm256_setr_epi8(LUT_HI, LUT_HI), hi_nibbles);
  const __m256i symbol = _mm256_cmpeq_epi8(_mm256_and_si256(lo, hi), _mm256_setzero_si256());
  const uint64_t loaded = n == 32 ? 0xFFFFFFFFu : (uint64_t{1} << n) - 1;
  const uint64_t other = ~uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(symbol))} & loaded;
  const int closing = closing_pads(in, n, other);
  if (closing < 0) return false;
  const __m256i roll = _mm256_shuffle_epi8(
      _mm256_setr_epi8(LUT_ROLL, LUT_ROLL),
      _mm256_add_epi8(_mm256_cmpeq_epi8(text, _mm256_set1_epi8('/')), hi_nibbles));
  // Whatever is not a symbol ('=', the bytes not loaded) counts as zero.
  const __m256i values = _mm256_and_si256(_mm256_add_epi8(text, roll), symbol);
  const __m256i words = _mm256_madd_epi16(
      _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140)), _mm256_set1_epi32(0x00011000));
  const __m256i bytes =
      _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, _mm256_setr_epi8(PACK_LANE, PACK_LANE)),
                                  _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
  written = n / 4 * 3 - static_cast<size_t>(closing);
  const __m256i place = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                         17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
  const __m256i kept = _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(written)), place);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                      _mm256_blendv_epi8(_mm256_set1_epi8(static_cast<char>(fill)), bytes, kept));
  return true;
}

namespace {

// The widest blocks, then 16-byte blocks for what is left (every CPU with
// the wider instructions has these too), in one function of the wider
// target, into which both decoders are inlined.
__attribute__((target("avx2"))) size_t decode_avx2_then_sse41(const uint8_t* in, size_t len,
                                                              uint8_t* out) noexcept {
  const size_t done = len >= 32 ? decode_avx2(in, len, out) : 0;
  return done + decode_sse41(in + done, len - done, out + done / 4 * 3);
}
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) size_t decode_avx512_then_sse41(
    const uint8_t* in, size_t len, uint8_t* out) noexcept {
  const size_t done = len >= 64 ? decode_avx512(in, len, out) : 0;
  if (done == len) return done;
  return done + decode_sse41(in + done, len - done, out + done / 4 * 3);
}

}  // namespace
}  // namespace vorlane::base64::blocks

namespace vorlane::base64 {

const Kernel kSse41{blocks::decode_sse41, nullptr};
const Kernel kAvx2{blocks::decode_avx2_then_sse41, blocks::decode_short_avx2, 0, 32};
const Kernel kAvx512{blocks::decode_avx512_then_sse41, blocks::decode_short_avx512, 64};

}  // namespace vorlane::base64

#endif
