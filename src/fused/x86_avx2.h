// A sample from the text table with AVX2, which both vector writers take
// where a block of samples is not all within their digits. For the x86
// kernel files only: its functions are built for AVX2 and inlined into
// their callers.
#pragma once

#include <immintrin.h>

#include "fused/writer.h"

namespace vorlane::fused {

// ---- the table sample -----------------------------------------------------
//
// A sample's text `},{"x":X,"y":Y,"z":Z` is laid out in one 32-byte store:
// one byte shuffle brings the value bytes to their places, from a register
// whose low lane holds the entries of x and y and whose high lane those of
// y and z (the shuffle cannot cross lanes; x ends in the low lane, z starts
// in the high one, y may straddle), and an OR adds the fixed fragments. Both
// depend only on the lengths of x and y: z's eight bytes go in whole, and
// what lies past the sample's end is overwritten by the next. Values past
// the text table take the scalar sample, so no sample here outgrows the
// store.

// Byte k of the entry in qword q of the register (x, y | y, z): x is never
// in the high lane, z never in the low one.
constexpr uint8_t avx2_place(size_t value, size_t k, size_t at) {
  constexpr uint8_t kLow[3] = {0, 1, 9}, kHigh[3] = {9, 0, 1};
  return static_cast<uint8_t>(8 * (at < 16 ? kLow[value] : kHigh[value]) + k);
}
alignas(64) inline constexpr std::array<SampleLayout, 64> kLayouts = make_layouts(avx2_place, 0x80);
static_assert(kNextX.size() + kMaxTableText <= 16 &&
                  kNextX.size() + 2 + kY.size() + kZ.size() >= 16,
              "x ends in the low lane, z starts in the high one");

// One sample whose three values are all in the text table.
__attribute__((target("avx2"), always_inline)) inline char* put_table_sample_avx2(
    char* out, const uint16_t* s) noexcept {
  // The entries straight into vector registers, their lengths from the
  // length table, so that nothing moves from the general registers.
  const uint16_t x = s[0], y = s[1], z = s[2];
  const size_t lx = kTextLength[x], ly = kTextLength[y];
  size_t length = kSampleFixed + lx + ly + kTextLength[z];
  bits::opaque(length);
  const __m128i vx = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kText[x]));
  const __m128i vy = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kText[y]));
  const __m128i vz = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kText[z]));
  const __m256i values = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_unpacklo_epi64(vx, vy)), _mm_unpacklo_epi64(vy, vz), 1);
  const SampleLayout& layout = kLayouts[lx * 8 + ly];
  const __m256i text = _mm256_or_si256(
      _mm256_shuffle_epi8(values, _mm256_load_si256(reinterpret_cast<const __m256i*>(layout.index))),
      _mm256_load_si256(reinterpret_cast<const __m256i*>(layout.fragments)));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), text);
  return out + length;
}

// One sample by the AVX2 layout where its values are in the table, by the
// scalar one where not: the vector writers' way past a block they cannot
// take whole.
__attribute__((target("avx2"), always_inline)) inline char* put_any_sample_avx2(
    char* out, const uint16_t* s) noexcept {
  const uint16_t x = s[0], y = s[1], z = s[2];
  if ((x | y | z) < kTextCount) [[likely]] return put_table_sample_avx2(out, s);
  return put_next_sample(out, value_entry(x), value_entry(y), value_entry(z));
}

// The AVX2 reader's one window for a whole input of up to 64 bytes; false,
// with nothing stored, where the plain reader must read it (built for AVX2).
// Both x86 readers take it from three samples on: two are read faster one
// by one.
constexpr ptrdiff_t kShortWindowFrom = 3;
bool read_short_avx2(const uint8_t* base, const uint8_t*& p, const uint8_t* end, uint16_t* out,
                     const uint16_t* out_end, size_t& text) noexcept;

}  // namespace vorlane::fused
