#include "fused/document.h"

#include <array>
#include <cstring>

#include "base64/base64.h"
#include "common/bits.h"
#include "common/cpu.h"
#if VORLANE_X86_64
#include <immintrin.h>
#endif
#if VORLANE_AARCH64
#include <arm_neon.h>
#endif
#include "fused/exact.h"
#include "fused/tables.h"
#include "fused/text.h"

namespace vorlane::fused {
namespace {

using accel::Error;

using namespace text;

// Writes the text of the wire value `u`; stores eight bytes, so at least
// eight must be writable.
inline char* put_value(char* out, uint16_t u) noexcept {
  const uint64_t entry = value_entry(u);
  std::memcpy(out, &entry, 8);
  return out + (entry >> 56);
}

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

// Exactly the text of the wire value `u`, for the end of the document where
// no wide store fits: two stores that overlap cover one to six bytes.
inline char* put_value_exact(char* out, uint16_t u) noexcept {
  const uint64_t text = value_entry(u);
  const size_t n = text >> 56;
  if (n >= 4) {
    const auto first = static_cast<uint32_t>(text);
    const auto last = static_cast<uint32_t>(text >> (8 * (n - 4)));
    std::memcpy(out, &first, 4);
    std::memcpy(out + n - 4, &last, 4);
  } else if (n >= 2) {
    const auto first = static_cast<uint16_t>(text);
    const auto last = static_cast<uint16_t>(text >> (8 * (n - 2)));
    std::memcpy(out, &first, 2);
    std::memcpy(out + n - 2, &last, 2);
  } else {
    out[0] = static_cast<char>(text);
  }
  return out + n;
}

template <size_t N>
inline char* put_fragment(char* out, std::string_view text) noexcept {
  std::memcpy(out, text.data(), N);
  return out + N;
}

inline char* put_sample_exact(char* out, const uint16_t* s, bool first) noexcept {
  const uint16_t x = s[0], y = s[1], z = s[2];
  out = first ? put_fragment<kFirstX.size()>(out, kFirstX)
              : put_fragment<kNextX.size()>(out, kNextX);
  out = put_value_exact(out, x);
  out = put_fragment<kY.size()>(out, kY);
  out = put_value_exact(out, y);
  out = put_fragment<kZ.size()>(out, kZ);
  return put_value_exact(out, z);
}

// Samples from which write takes put_next_sample.
constexpr size_t kLongRun = 64;

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

inline char* put_sample(char* out, const uint16_t* s, bool first) noexcept {
  // Read before writing: stores through char* could alias the samples, and
  // would otherwise hold each load back behind them.
  const uint16_t x = s[0], y = s[1], z = s[2];
  out = first ? put8(out, pack8(kFirstX), kFirstX.size()) : put8(out, pack8(kNextX), kNextX.size());
  out = put_value(out, x);
  out = put8(out, pack8(kY), kY.size());
  out = put_value(out, y);
  out = put8(out, pack8(kZ), kZ.size());
  return put_value(out, z);
}

// The exact text of one sample at the end of the document, where no wide
// store fits.
inline size_t exact_sample_length(const uint16_t* s, bool first) noexcept {
  return (first ? kFirstX.size() : kNextX.size()) + kY.size() + kZ.size() + value_length(s[0]) +
         value_length(s[1]) + value_length(s[2]);
}

// `text` if it fits before `end`; where it does not, nothing, and the
// caller sees a short write.
inline char* put_checked(char* out, const char* end, std::string_view text) noexcept {
  if (static_cast<size_t>(end - out) < text.size()) return out;
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
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

// The long-run loop of the scalar writer: all samples from `s` but the last,
// while they fit; `out` and `s` are left where it stopped.
inline void long_run_scalar(char*& out_ref, const char* end, const uint16_t*& s_ref,
                     const uint16_t* s_last) noexcept {
  // Locals, not the references: stores through char* could alias them.
  char* out = out_ref;
  const uint16_t* s = s_ref;
  // The entries of each sample are loaded one sample ahead of its stores,
  // which lets the loads run ahead of stores whose places are not known yet.
  uint64_t ex, ey, ez;
  sample_entries(s, ex, ey, ez);
  for (size_t fit; (fit = samples_that_fit(out, end, s, s_last)) != 0;) {
    for (const uint16_t* const stop = s + 3 * fit; s != stop; s += 3) {
      uint64_t nx, ny, nz;
      sample_entries(s + 3, nx, ny, nz);  // at most the last sample
      out = put_next_sample(out, ex, ey, ez);
      ex = nx;
      ey = ny;
      ez = nz;
    }
  }
  out_ref = out;
  s_ref = s;
}

// ---- the vector writers' shared sizes -----------------------------------

// The table's widest text, "-4095".
constexpr size_t kMaxTableText = 5;
static_assert(text_length(-static_cast<int>(kTextCount / 2 - 1)) == kMaxTableText);
static_assert(kSampleFixed + 3 * kMaxTableText <= 32, "a sample of table values fits 32 bytes");

// Samples are checked against the table a block at a time: the values of a
// block ORed together, so that most samples take no test of their own.
constexpr size_t kCheckedBlock = 16;
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

#if VORLANE_X86_TARGETS
// ---- AVX2 writer --------------------------------------------------------
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
alignas(64) constexpr std::array<SampleLayout, 64> kLayouts = make_layouts(avx2_place, 0x80);
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


// Whether every value of the kCheckedBlock samples at `s` is in the table.
__attribute__((target("avx2"), always_inline)) inline bool block_in_table(
    const uint16_t* s) noexcept {
  const auto* v = reinterpret_cast<const __m256i*>(s);
  const __m256i any = _mm256_or_si256(
      _mm256_or_si256(_mm256_loadu_si256(v), _mm256_loadu_si256(v + 1)), _mm256_loadu_si256(v + 2));
  return _mm256_testz_si256(any, _mm256_set1_epi16(static_cast<int16_t>(~(kTextCount - 1)))) != 0;
}

__attribute__((target("avx2"))) void long_run_avx2(char*& out_ref, const char* end,
                                                   const uint16_t*& s_ref,
                                                   const uint16_t* s_last) noexcept {
  // Locals, not the references: stores through char* could alias them.
  char* out = out_ref;
  const uint16_t* s = s_ref;
  for (size_t fit; (fit = samples_that_fit(out, end, s, s_last)) != 0;) {
    const uint16_t* const stop = s + 3 * fit;
    while (s != stop) {
      if (static_cast<size_t>(stop - s) >= 3 * kCheckedBlock) {
        if (block_in_table(s)) [[likely]] {
#pragma GCC unroll 4
          for (size_t i = 0; i < kCheckedBlock; ++i) out = put_table_sample_avx2(out, s + 3 * i);
          s += 3 * kCheckedBlock;
          continue;
        }
      }
      // A block with a value past the table, or the end of a round: one
      // sample at a time.
      out = put_any_sample_avx2(out, s);
      s += 3;
    }
  }
  out_ref = out;
  s_ref = s;
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

__attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt,avx2"))) void long_run_avx512(
    char*& out_ref, const char* end, const uint16_t*& s_ref, const uint16_t* s_last) noexcept {
  char* out = out_ref;
  const uint16_t* s = s_ref;
  const __m512i values_index = _mm512_load_si512(kPairLayout.values);
  const __m512i lengths_index = _mm512_load_si512(kPairLayout.lengths);
  const __m512i places = _mm512_load_si512(kPairLayout.places);
  const __m512i fragments = _mm512_load_si512(kPairLayout.fragments);
  const __mmask64 value_places = kPairLayout.value_places;
  const auto entry = [](uint16_t u) __attribute__((target("avx2"))) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kText[u]));
  };
  for (size_t fit; (fit = samples_that_fit(out, end, s, s_last)) != 0;) {
    const uint16_t* const stop = s + 3 * fit;
    while (s != stop) {
      if (static_cast<size_t>(stop - s) >= 3 * kCheckedBlock) {
        if (block_in_table(s)) [[likely]] {
          for (size_t i = 0; i < kCheckedBlock; i += 2, s += 6) {
            const __m128i e01 = _mm_unpacklo_epi64(entry(s[0]), entry(s[1]));
            const __m128i e23 = _mm_unpacklo_epi64(entry(s[2]), entry(s[3]));
            const __m128i e45 = _mm_unpacklo_epi64(entry(s[4]), entry(s[5]));
            const __m512i entries = _mm512_inserti32x4(
                _mm512_castsi256_si512(_mm256_inserti128_si256(_mm256_castsi128_si256(e01), e23, 1)),
                e45, 2);
            const __m512i text =
                _mm512_mask_permutexvar_epi8(fragments, value_places, values_index, entries);
            // (The zero-masking form: the plain one trips a false
            // uninitialised warning in the compiler's own header at -O3.)
            const __m512i lengths = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, lengths_index, entries);
            const __mmask64 present = _mm512_cmplt_epu8_mask(places, lengths);
            _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(present, text));
            size_t length = static_cast<size_t>(__builtin_popcountll(present));
            bits::opaque(length);
            out += length;
          }
          continue;
        }
      }
      out = put_any_sample_avx2(out, s);
      s += 3;
    }
  }
  out_ref = out;
  s_ref = s;
}
#endif

#if VORLANE_AARCH64
// ---- NEON writer --------------------------------------------------------
//
// The AVX2 writer's layout with NEON's two-register table lookup, which
// reaches all 32 bytes: the table holds the entries of x, y and z (and
// zeros), two lookups bring the value bytes of the sample's 32 bytes to
// their places, ORs add the fixed fragments, two 16-byte stores write it.
// The indices depend only on the lengths of x and y: z's eight bytes go in
// whole, and what lies past the sample's end is overwritten by the next.

// Byte k of entry e of the table (x, y, z, zeros).
constexpr uint8_t neon_place(size_t value, size_t k, size_t) { return static_cast<uint8_t>(8 * value + k); }
alignas(64) constexpr std::array<SampleLayout, 64> kNeonLayouts = make_layouts(neon_place, 0xFF);

// One sample whose three values are all in the text table.
inline char* put_table_sample_neon(char* out, const uint16_t* s) noexcept {
  const uint16_t x = s[0], y = s[1], z = s[2];
  const size_t lx = kTextLength[x], ly = kTextLength[y];
  size_t length = kSampleFixed + lx + ly + kTextLength[z];
  bits::opaque(length);
  const auto entry = [](uint16_t u) { return vld1_u8(reinterpret_cast<const uint8_t*>(&kText[u])); };
  const uint8x16x2_t values = {{vcombine_u8(entry(x), entry(y)), vcombine_u8(entry(z), vdup_n_u8(0))}};
  const SampleLayout& layout = kNeonLayouts[lx * 8 + ly];
  auto* to = reinterpret_cast<uint8_t*>(out);
  vst1q_u8(to, vorrq_u8(vqtbl2q_u8(values, vld1q_u8(layout.index)), vld1q_u8(layout.fragments)));
  vst1q_u8(to + 16,
           vorrq_u8(vqtbl2q_u8(values, vld1q_u8(layout.index + 16)), vld1q_u8(layout.fragments + 16)));
  return out + length;
}

// Whether every value of the kCheckedBlock samples at `s` is in the table.
inline bool block_in_table_neon(const uint16_t* s) noexcept {
  uint16x8_t any = vld1q_u16(s);
  for (size_t i = 1; i < 3 * kCheckedBlock / 8; ++i) any = vorrq_u16(any, vld1q_u16(s + 8 * i));
  return vmaxvq_u16(any) < kTextCount;  // a power of two: the OR is below it if every value is
}

void long_run_neon(char*& out_ref, const char* end, const uint16_t*& s_ref,
                   const uint16_t* s_last) noexcept {
  // Locals, not the references: stores through char* could alias them.
  char* out = out_ref;
  const uint16_t* s = s_ref;
  for (size_t fit; (fit = samples_that_fit(out, end, s, s_last)) != 0;) {
    const uint16_t* const stop = s + 3 * fit;
    while (s != stop) {
      if (static_cast<size_t>(stop - s) >= 3 * kCheckedBlock && block_in_table_neon(s)) [[likely]] {
        for (size_t i = 0; i < kCheckedBlock; ++i) out = put_table_sample_neon(out, s + 3 * i);
        s += 3 * kCheckedBlock;
        continue;
      }
      // A value past the table, or the end of a round: the scalar sample.
      if ((s[0] | s[1] | s[2]) < kTextCount) {
        out = put_table_sample_neon(out, s);
      } else {
        out = put_next_sample(out, value_entry(s[0]), value_entry(s[1]), value_entry(s[2]));
      }
      s += 3;
    }
  }
  out_ref = out;
  s_ref = s;
}
#endif

}  // namespace

bool writer_supported(Writer writer) noexcept {
  if (writer == Writer::Scalar) return true;
  if (writer == Writer::Neon) return VORLANE_AARCH64 && cpu::has(cpu::Feature::Neon);
#if VORLANE_X86_TARGETS
  using cpu::Feature;
  if (writer == Writer::Avx512) {
    return cpu::has(Feature::Avx2) && cpu::has(Feature::Popcnt) && cpu::has(Feature::Avx512Bw) &&
           cpu::has(Feature::Avx512Vbmi) && cpu::has(Feature::Avx512Vbmi2);
  }
  return cpu::has(Feature::Avx2);
#else
  return false;
#endif
}

Writer best_writer() noexcept {
  static const Writer best = [] {
    if (const cpu::Path* forced = cpu::forced_path()) return forced->writer;
    if (writer_supported(Writer::Neon)) return Writer::Neon;
    if (writer_supported(Writer::Avx512)) return Writer::Avx512;
    return writer_supported(Writer::Avx2) ? Writer::Avx2 : Writer::Scalar;
  }();
  return best;
}

static_assert(base64::filled_capacity(1012) <= Document::kStackBytes &&
                  base64::filled_capacity(1016) > Document::kStackBytes,
              "texts of up to 1012 characters decode on the stack");
static_assert(3 * Document::kStackSamples * sizeof(uint16_t) == Document::kStackBytes,
              "the samples take as much stack as the bytes");

Result<size_t, Error> Document::decode_samples(const uint8_t* base, const uint8_t* p,
                                                     const uint8_t* end, SampleReader reader) {
  WireError error{};
  uint64_t n = 0;
  if (!read_u64(p, end, n, error)) return fail(Error::postcard(error));

  // Every sample takes at least three bytes: a count beyond that fails, and
  // the exact readers find the error the record decoder would.
  const auto remaining = static_cast<uint64_t>(end - p);
  if (n > remaining || 3 * n > remaining) {
    uint16_t u = 0;
    for (;;) {
      if (!read_u16(p, end, u, error)) return fail(Error::postcard(error));
    }
  }

  // At most a third of the input's length: the input bounds this memory.
  uint16_t* out = stack_samples_;
  if (n > kStackSamples) {
    heap_samples_.reset(new uint16_t[3 * static_cast<size_t>(n)]);
    out = heap_samples_.get();
  }
  samples_ = out;
  count_ = static_cast<size_t>(n);
  uint16_t* const out_end = out + 3 * count_;


  size_t text = 0;
  if (!read_sample_values(base, p, end, out, out_end, reader, text, error)) {
    return fail(Error::postcard(error));
  }
  record_bytes_ = static_cast<size_t>(p - base);
  return text + kSampleFixed * count_ - (count_ != 0 ? 1 : 0);
}

Result<size_t, Error> Document::prepare(uint64_t version, std::string_view b64_data) {
  return prepare(version, b64_data, best_sample_reader());
}

Result<size_t, Error> Document::prepare(uint64_t version, std::string_view b64_data,
                                              SampleReader reader) {
  // Eight bytes after the decoded ones let the sample reader load a whole
  // word at the very end; their top bits are set, so it never takes them for
  // the end of a value. The buffer also always holds a whole 64-byte window.
  static_assert(base64::kFillBytes >= 8, "a whole word past the last byte");
  const size_t capacity = base64::filled_capacity(b64_data.size());
  uint8_t* bytes = stack_bytes_;
  if (capacity > kStackBytes) {
    heap_bytes_.reset(new uint8_t[capacity]);
    bytes = heap_bytes_.get();
  }
  auto decoded = base64::decode_into_filled(b64_data, bytes, 0x80);
  if (!decoded.ok()) return fail(Error::base64(decoded.error()));
  if (version < 1 || version > 3) return fail(Error::version_not_supported(version));

  const uint8_t* p = bytes;
  const uint8_t* const end = bytes + decoded.value();
  payload_bytes_ = decoded.value();
  record_bytes_ = 0;
  WireError error{};
  head_ = Head{};
  head_.version = version;
  if (version == 1) {
    uint64_t timestamp = 0;
    if (!read_u64(p, end, timestamp, error) || !read_u16(p, end, head_.acc_temp, error)) {
      return fail(Error::postcard(error));
    }
    head_.timestamp = wire::zigzag_decode(timestamp);
  } else {
    // Each tag is judged right after it is read, as the record decoder does.
    uint32_t range = 0, freq = 0, noise = 0, antialias = 0;
    if (end - p >= 4 && p[0] < kRangeNames.size() && p[1] < kFreqNames.size() &&
        p[2] < kNoiseNames.size() && p[3] < kAntialiasNames.size()) {
      // The usual form: four one-byte tags, each in range.
      range = p[0];
      freq = p[1];
      noise = p[2];
      antialias = p[3];
      p += 4;
    } else if (!read_tag(p, end, kRangeNames.size(), range, error) ||
               !read_tag(p, end, kFreqNames.size(), freq, error) ||
               !read_tag(p, end, kNoiseNames.size(), noise, error) ||
               !read_tag(p, end, kAntialiasNames.size(), antialias, error)) {
      return fail(Error::postcard(error));
    }
    if (!read_u16(p, end, head_.acc_temp, error)) return fail(Error::postcard(error));
    head_.settings = static_cast<uint8_t>(settings_index(range, freq, noise, antialias));
  }
  // The head is measured by the routine that writes it.
  Measure measure;
  text::head(head_, measure);
  head_length_ = measure.size;

  auto samples = decode_samples(bytes, p, end, reader);
  if (!samples.ok()) return fail(samples.error());
  // The last sample's "}" is counted with the sample.
  length_ = head_length_ + samples.value() + kCloseEmpty.size();
  return length_;
}

char* Document::write(char* out, size_t room) const noexcept {
  return write(out, room, best_writer());
}

char* Document::write(char* out, size_t room, Writer writer) const noexcept {
  // Nothing is stored past `end`, whatever the lengths say: a text longer
  // than measured stops short, and the caller sees that it did.
  char* const end = out + (room < length_ ? room : length_);
  // The head's wide stores all fall inside the head, whose length is the
  // one its own routine measured.
  if (static_cast<size_t>(end - out) < head_length_) return out;
  Write sink{out};
  text::head(head_, sink);
  out = sink.out;
  if (count_ == 0) return put_checked(out, end, kCloseEmpty);

  // Wide stores while there is room for them, exact ones for the last
  // samples.
  const uint16_t* s = samples_;
  const uint16_t* const s_end = samples_ + 3 * count_;
  if (static_cast<size_t>(end - out) >= kWideRoom) {
    out = put_sample(out, s, true);
    s += 3;
    // Long runs: samples that do not wait on each other's positions, with no
    // room check per sample: the room is checked once for as many samples
    // as surely fit at their widest, again and again. The last sample is
    // left to the loops below. Short runs keep the plain loop, which sets up
    // faster.
    if (count_ >= kLongRun) {
#if VORLANE_X86_TARGETS
      if (writer == Writer::Avx512) {
        long_run_avx512(out, end, s, s_end - 3);
      } else if (writer == Writer::Avx2) {
        long_run_avx2(out, end, s, s_end - 3);
      } else {
        long_run_scalar(out, end, s, s_end - 3);
      }
#elif VORLANE_AARCH64
      if (writer == Writer::Neon) {
        long_run_neon(out, end, s, s_end - 3);
      } else {
        long_run_scalar(out, end, s, s_end - 3);
      }
#else
      static_cast<void>(writer);  // only the scalar writer elsewhere
      long_run_scalar(out, end, s, s_end - 3);
#endif
    }
    for (; s != s_end && static_cast<size_t>(end - out) >= kWideRoom; s += 3) {
      out = put_sample(out, s, false);
    }
  }
  for (; s != s_end; s += 3) {
    const bool first = s == samples_;
    if (static_cast<size_t>(end - out) < exact_sample_length(s, first)) return out;
    out = put_sample_exact(out, s, first);
  }
  return put_checked(out, end, kCloseAll);
}

}  // namespace vorlane::fused
