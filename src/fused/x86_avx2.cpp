// The avx2 path's kernels: the sample reader and writer with AVX2 alone.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

#include "fused/document.h"
#include "fused/reader.h"
#include "fused/samples.h"
#include "fused/x86_avx2.h"

namespace vorlane::fused {
namespace {

// Positions of the set bits of a byte as a byte shuffle that moves those
// 16-bit lanes of eight to the front, in order (the rest zeros): 4 KiB.
struct PackRow {
  alignas(16) uint8_t index[16];
};
alignas(64) constexpr std::array<PackRow, 256> kPackLanes = [] {
  std::array<PackRow, 256> t{};
  for (unsigned m = 0; m < 256; ++m) {
    unsigned n = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
      if ((m >> bit) & 1) {
        t[m].index[2 * n] = static_cast<uint8_t>(2 * bit);
        t[m].index[2 * n + 1] = static_cast<uint8_t>(2 * bit + 1);
        ++n;
      }
    }
    for (; n < 8; ++n) t[m].index[2 * n] = t[m].index[2 * n + 1] = 0x80;
  }
  return t;
}();

// The value of the varint ending at each of the 16 bytes at `q`, in 16-bit
// lanes (garbage where no varint ends): the end byte, then the groups of
// the bytes before it while those carry on, as in Horner's rule. Without
// kLong no varint here has three bytes. `q - 2` must be readable.
// The same from the 16 bytes at q, q - 1 and q - 2 already loaded.
template <bool kLong>
__attribute__((target("avx2"), always_inline)) inline __m256i values_ending(
    __m128i at, __m128i before1, __m128i before2) noexcept {
  const __m256i low7 = _mm256_set1_epi16(0x7F);
  const __m256i z0 = _mm256_cvtepu8_epi16(at);
  const __m256i z1 = _mm256_cvtepu8_epi16(before1);
  const __m256i c1 = _mm256_cmpgt_epi16(z1, low7);
  __m256i v = _mm256_blendv_epi8(
      z0, _mm256_or_si256(_mm256_slli_epi16(z0, 7), _mm256_and_si256(z1, low7)), c1);
  if constexpr (kLong) {
    const __m256i z2 = _mm256_cvtepu8_epi16(before2);
    const __m256i c2 = _mm256_and_si256(c1, _mm256_cmpgt_epi16(z2, low7));
    v = _mm256_blendv_epi8(
        v, _mm256_or_si256(_mm256_slli_epi16(v, 7), _mm256_and_si256(z2, low7)), c2);
  }
  return v;
}
template <bool kLong>
__attribute__((target("avx2"), always_inline)) inline __m256i values_ending_at(
    const uint8_t* q) noexcept {
  const auto load = [](const uint8_t* a) __attribute__((target("avx2"))) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
  };
  return values_ending<kLong>(load(q), load(q - 1), kLong ? load(q - 2) : _mm_setzero_si128());
}

// The values of the varints that end at the set bits of `ends` in the 64
// bytes at `w`, stored in order from `to`; each 16-byte store may write up
// to seven lanes past the values, so room for 64 lanes is needed.
template <bool kLong, class Values>
__attribute__((target("avx2,popcnt"), always_inline)) inline void pack_values(
    Values values, uint64_t ends, uint16_t* to) noexcept {
  // Byte k of `ends` picks row k of kPackLanes, taken as its byte offset
  // (the byte times 16, shifted there at once) and counted as it is.
  const auto* const rows = reinterpret_cast<const uint8_t*>(kPackLanes.data());
  const auto put = [&](__m128i v, unsigned k) __attribute__((target("avx2,popcnt"))) {
    const auto at = static_cast<unsigned>(k == 0 ? ends << 4 : ends >> (8 * k - 4)) & 0xFF0u;
    const __m128i index = _mm_load_si128(reinterpret_cast<const __m128i*>(rows + at));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_shuffle_epi8(v, index));
    to += __builtin_popcount(at);
  };
#pragma GCC unroll 4
  for (unsigned h = 0; h < 4; ++h) {
    const __m256i v = values(h);
    put(_mm256_castsi256_si128(v), 2 * h);
    put(_mm256_extracti128_si256(v, 1), 2 * h + 1);
  }
}
template <bool kLong>
__attribute__((target("avx2,popcnt"), always_inline)) inline void pack_window(
    const uint8_t* w, uint64_t ends, uint16_t* to) noexcept {
  pack_values<kLong>([w](unsigned h) __attribute__((target("avx2"), always_inline)) {
    return values_ending_at<kLong>(w + 16 * h);
  }, ends, to);
}

// The compares' bounds of the text lengths, made once: the compiler would
// otherwise build each again at every call, and turn the compares with
// constants into a minimum and a compare each.
struct TextBounds {
  __m256i bias, unit, b19, b199, b1999, b19999;
};
__attribute__((target("avx2"), always_inline)) inline TextBounds text_bounds() noexcept {
  // The compares are signed: values and bounds are shifted by 32768 alike.
  constexpr auto bound = [](int u) { return static_cast<int16_t>(u - 1 - 32768); };  // u and above
  TextBounds t{_mm256_set1_epi16(static_cast<int16_t>(-32768)), _mm256_set1_epi16(1),
               _mm256_set1_epi16(bound(19)), _mm256_set1_epi16(bound(199)),
               _mm256_set1_epi16(bound(1999)), _mm256_set1_epi16(bound(19999))};
  asm("" : "+x"(t.bias), "+x"(t.unit), "+x"(t.b19), "+x"(t.b199), "+x"(t.b1999), "+x"(t.b19999));
  return t;
}

// The summed text length of the values in [from, to): a digit each, one
// more per power of ten reached, and the sign of the odd (negative) wire
// values. The magnitude of wire value u is (u + 1) / 2, so it reaches 10^d
// exactly when u reaches 2 * 10^d - 1.
__attribute__((target("avx2"))) size_t text_of(const uint16_t* from, const uint16_t* to) noexcept {
  const TextBounds t = text_bounds();
  size_t total = static_cast<size_t>(to - from);
  __m256i sums = _mm256_setzero_si256();
  // 16-bit lanes gain at most 5 a block (the signs and the compares apart,
  // so that neither waits on the other): folded into 32 bits every 4096.
  while (to - from >= 16) {
    __m256i signs = _mm256_setzero_si256();
    __m256i reached = _mm256_setzero_si256();  // negative
    const uint16_t* const stop = from + ((to - from) / 16 < 4096 ? (to - from) / 16 * 16 : 4096 * 16);
    for (; from != stop; from += 16) {
      const __m256i u = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
      const __m256i b = _mm256_xor_si256(u, t.bias);
      signs = _mm256_add_epi16(signs, _mm256_and_si256(u, t.unit));
      reached = _mm256_add_epi16(
          reached, _mm256_add_epi16(
                       _mm256_add_epi16(_mm256_cmpgt_epi16(b, t.b19), _mm256_cmpgt_epi16(b, t.b199)),
                       _mm256_add_epi16(_mm256_cmpgt_epi16(b, t.b1999),
                                        _mm256_cmpgt_epi16(b, t.b19999))));
    }
    sums = _mm256_add_epi32(sums, _mm256_madd_epi16(_mm256_sub_epi16(signs, reached), t.unit));
  }
  alignas(32) uint32_t lane[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lane), sums);
  for (uint32_t s : lane) total += s;
  for (; from != to; ++from) total += kTextLength[*from] - 1u;
  return total;
}

// Whole samples from 64-byte windows with AVX2 alone (no PEXT, which is slow
// microcode on the AMD parts before Zen 3). The windows follow each other
// in the input whatever they hold, so that no window waits on the one
// before: a varint is read at the window where it ends, from the bytes
// before it, and the values of a window's ends are packed together eight
// lanes at a time. Where a window holds more values than the run has room
// for, or a fault (a varint of four bytes or more, a third byte above 3),
// the run goes back to its last whole sample; each later window starts
// there and keeps whole samples only, the last reaching into the padding
// past the input (of more than 64 bytes: a shorter one is read_short_avx2's
// one window, or the plain reader's). The rest is left to the other readers. Returns the
// values' text length.
__attribute__((target("avx2,popcnt"))) size_t read_values_avx2(const uint8_t* base,
                                                              const uint8_t*& p_ref,
                                                              const uint8_t* end,
                                                              uint16_t*& out_ref,
                                                              const uint16_t* out_end) noexcept {
  // Locals, not the references, which the vector stores could alias: the
  // pointers would go through memory at every window.
  const uint8_t* p = p_ref;
  uint16_t* out = out_ref;
  uint16_t* const first = out;
  // Each varint is read from its end back, so the run must start after one.
  if (p != base && p[-1] >= 0x80) return 0;
  const auto window_cont = [](const uint8_t* w) __attribute__((target("avx2"))) {
    const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w));
    const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 32));
    return uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(v0))} |
           uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(v1))} << 32;
  };
  // Bytes of four and up: where a byte is the third of a varint.
  const auto at_least4 = [](const uint8_t* w) __attribute__((target("avx2"))) {
    const __m256i four = _mm256_set1_epi8(4);
    const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w));
    const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 32));
    return uint64_t{static_cast<uint32_t>(
               _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(v0, four), v0)))} |
           uint64_t{static_cast<uint32_t>(
               _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(v1, four), v1)))}
               << 32;
  };
  // The first window may start less than two bytes after `base`, where
  // values_ending_at cannot look back: a copy then, with zeros (ends) first.
  alignas(16) uint8_t copy[2 + 64 + 14];
  const auto readable = [&](const uint8_t* w) -> const uint8_t* {
    if (w - base >= 2) return w;
    copy[0] = copy[1] = 0;
    std::memcpy(copy + 2, w, 64);
    return copy + 2;
  };

  // Every window whole while the run has room for all its values (and the
  // seven lanes its last store may write past them).
  const uint8_t* const start = p;
  uint64_t last_ends = 0;
  // Text lengths every 64 windows, of values still in the cache.
  size_t text = 0;
  const uint16_t* measured = first;
  if (end - p >= 64) {
    uint64_t carry = 0;  // the byte before `p` ends a varint
    const uint8_t* w = readable(p);
    uint64_t cont = window_cont(w);
    // Below this any window's values fit: the count is checked from there.
    const uint16_t* const roomy = first + std::max<ptrdiff_t>(out_end - first - 72, 0);
    unsigned windows_left = 64;
    for (;;) {
      const uint64_t ends = ~cont;
      const auto count = static_cast<ptrdiff_t>(__builtin_popcountll(ends));
      if (out >= roomy && out_end - out < count + 8) break;
      const uint64_t third = ((cont << 1) | (carry >> 63)) & ((cont << 2) | (carry >> 62));
      // The next window's ends, ahead of this one's stores: the packing
      // waits on them, the loads here on nothing. (Past the last window,
      // any 64 bytes of the input, not used.)
      const uint64_t next = window_cont(end - p >= 128 ? p + 64 : end - 64);
      if (third == 0) [[likely]] {
        pack_window<false>(w, ends, out);
      } else {
        if ((third & at_least4(w)) != 0) break;
        pack_window<true>(w, ends, out);
      }
      out += count;
      p += 64;
      last_ends = ends;
      carry = cont;
      if (--windows_left == 0) {
        windows_left = 64;
        const uint16_t* const to = measured + ((out - measured) & ~ptrdiff_t{15});
        text += text_of(measured, to);
        measured = to;
      }
      if (end - p < 64) break;
      w = p;
      cont = next;
    }
  }
  if (p != start) {
    // Back to the start of the last whole sample: the last window holds
    // more than the two values to drop.
    const auto drop = static_cast<size_t>(out - first) % 3;
    for (size_t i = 0; i < drop; ++i) last_ends ^= uint64_t{1} << (63 - bits::countl_zero(last_ends));
    p = p - 64 + (64 - bits::countl_zero(last_ends));
    out -= drop;
  }

  // Then whole samples only, from windows that start on one; the last may
  // reach into the padding past `end` (no varint ends there) or begin
  // before the run, its bytes there masked off.
  alignas(32) uint16_t spill[64];
  while (out != out_end) {
    const uint8_t* w = p;
    if (end - p < 56) w = end + 8 - 64;  // inside the input: it has more than 64 bytes
    const auto skip = static_cast<unsigned>(p - w);
    const uint8_t* const r = readable(w);
    const uint64_t cont = window_cont(r);
    uint64_t ends = ~cont & (~uint64_t{0} << skip);
    const auto [k, taken] = window_take(ends, out, out_end);
    if (k == 0) break;
    const uint64_t used =
        (taken == 64 ? ~uint64_t{0} : (uint64_t{1} << taken) - 1) & (~uint64_t{0} << skip);
    ends &= used;
    // The byte before `p` ends a varint, so nothing before it counts.
    const uint64_t third = (cont << 1) & (cont << 2) & used;
    if (third == 0) {
      pack_window<false>(r, ends, spill);
    } else {
      if ((third & at_least4(r)) != 0) break;
      pack_window<true>(r, ends, spill);
    }
    std::memcpy(out, spill, k * sizeof(uint16_t));
    out += k;
    p = w + taken;
  }
  p_ref = p;
  out_ref = out;
  return text + text_of(measured, out);
}

}  // namespace

// Values from which the short window sums their text lengths in vector
// registers, not one table load each: five samples.
constexpr size_t kVectorLengthsFrom = 15;

// A whole input of up to 64 bytes, as most device messages are: its one
// window packed as the long runs' windows are, so that no sample waits on
// the one before (the plain reader's samples each take some 70 instructions
// without PEXT). The window must end the run's varints exactly and hold no
// varint of four bytes or a third byte above 3; else false, with nothing
// stored, and the plain reader reads it and finds the fault.
__attribute__((target("avx2,popcnt"))) bool read_short_avx2(const uint8_t* base,
                                                           const uint8_t*& p_ref,
                                                           const uint8_t* end, uint16_t* out,
                                                           const uint16_t* out_end,
                                                           size_t& text) noexcept {
  const auto size = static_cast<unsigned>(end - base);
  const auto start = static_cast<unsigned>(p_ref - base);
  // Each varint is read from its end back, so the run must start after one.
  if (start != 0 && base[start - 1] >= 0x80) return false;
  __m128i bytes[4];
  for (unsigned h = 0; h < 4; ++h) {
    bytes[h] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + 16 * h));
  }
  const __m256i low = _mm256_setr_m128i(bytes[0], bytes[1]);
  const __m256i high = _mm256_setr_m128i(bytes[2], bytes[3]);
  const uint64_t cont = uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(low))} |
                        uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(high))} << 32;
  const uint64_t inside = (size == 64 ? ~uint64_t{0} : (uint64_t{1} << size) - 1) &
                          (~uint64_t{0} << start);
  const uint64_t ends = ~cont & inside;
  const auto count = static_cast<size_t>(out_end - out);
  if (static_cast<size_t>(__builtin_popcountll(ends)) != count) return false;
  // Third bytes (the two bytes before carry on) must end their varint with
  // at most 3; the bytes before the run end a varint, so only its own count.
  const uint64_t third = (cont << 1) & (cont << 2) & inside;
  // The bytes before each 16: the 16 before them shifted in, zeros (ends)
  // before the input.
  const auto before = [&](unsigned h, int by) __attribute__((target("avx2"))) {
    const __m128i prior = h == 0 ? _mm_setzero_si128() : bytes[h - 1];
    return by == 1 ? _mm_alignr_epi8(bytes[h], prior, 15) : _mm_alignr_epi8(bytes[h], prior, 14);
  };
  const auto read = [&](auto by_vectors) __attribute__((target("avx2,popcnt"), always_inline)) {
    constexpr bool kVectors = decltype(by_vectors)::value;
    // Text lengths as text_of counts them, from the values of each 16 bytes
    // before they are packed, the lanes where no varint ends masked off: a
    // table load each cost some six instructions a value, which only a few
    // values take fewer of than the bounds' set-up.
    const TextBounds t = kVectors ? text_bounds() : TextBounds{};
    const __m256i lane_bit = _mm256_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048,
                                               4096, 8192, 16384, -32768);
    __m256i extra = _mm256_setzero_si256();
    const auto measured = [&](__m256i u, unsigned h) __attribute__((target("avx2"), always_inline)) {
      if constexpr (kVectors) {
        const __m256i b = _mm256_xor_si256(u, t.bias);
        const __m256i reached = _mm256_add_epi16(
            _mm256_add_epi16(_mm256_cmpgt_epi16(b, t.b19), _mm256_cmpgt_epi16(b, t.b199)),
            _mm256_add_epi16(_mm256_cmpgt_epi16(b, t.b1999), _mm256_cmpgt_epi16(b, t.b19999)));
        const __m256i bits = _mm256_and_si256(
            _mm256_set1_epi16(static_cast<int16_t>(ends >> (16 * h))), lane_bit);
        const __m256i kept = _mm256_cmpeq_epi16(bits, lane_bit);
        extra = _mm256_add_epi16(
            extra, _mm256_and_si256(_mm256_sub_epi16(_mm256_and_si256(u, t.unit), reached), kept));
      }
      return u;
    };
    alignas(16) uint16_t values[64 + 8];
    if (third == 0) [[likely]] {
      pack_values<false>([&](unsigned h) __attribute__((target("avx2"), always_inline)) {
        return measured(values_ending<false>(bytes[h], before(h, 1), _mm_setzero_si128()), h);
      }, ends, values);
    } else {
      const __m256i four = _mm256_set1_epi8(4);
      const uint64_t big =
          uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(low, four), low)))} |
          uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(high, four), high)))} << 32;
      if ((third & big) != 0) return false;
      pack_values<true>([&](unsigned h) __attribute__((target("avx2"), always_inline)) {
        return measured(values_ending<true>(bytes[h], before(h, 1), before(h, 2)), h);
      }, ends, values);
    }
    // count is a whole number of samples: 3, 6 or more lanes, moved in stores
    // that overlap rather than a call.
    if (count >= 8) {
      for (size_t i = 0; i + 8 < count; i += 8) {
        __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(values + i));
        // Else the compiler makes the loop a call of memcpy.
        asm("" : "+x"(v));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
      }
      std::memcpy(out + count - 8, values + count - 8, 16);
    } else if (count >= 4) {
      std::memcpy(out, values, 8);
      std::memcpy(out + count - 4, values + count - 4, 8);
    } else {
      std::memcpy(out, values, 4);
      std::memcpy(out + count - 2, values + count - 2, 4);
    }
    if constexpr (kVectors) {
      const __m256i wide = _mm256_madd_epi16(extra, t.unit);
      __m128i folded = _mm_add_epi32(_mm256_castsi256_si128(wide), _mm256_extracti128_si256(wide, 1));
      folded = _mm_add_epi32(folded, _mm_unpackhi_epi64(folded, folded));
      folded = _mm_add_epi32(folded, _mm_srli_epi64(folded, 32));
      text = count + static_cast<uint32_t>(_mm_cvtsi128_si32(folded));
    } else {
      size_t sum = 0;
      for (size_t i = 0; i < count; ++i) sum += kTextLength[values[i]];
      text = sum;
    }
    p_ref = base + (64 - bits::countl_zero(ends));
    return true;
  };
  return count >= kVectorLengthsFrom ? read(std::true_type{}) : read(std::false_type{});
}

bool read_samples_avx2(const uint8_t* base, const uint8_t*& p, const uint8_t* end, uint16_t* out,
                       uint16_t* out_end, size_t& text, WireError& error) noexcept {
  if (end - base > static_cast<ptrdiff_t>(kWindow)) {
    text = read_values_avx2(base, p, end, out, out_end);
  } else {
    // Two samples, the smallest usual message, are read faster one by one.
    if (out_end - out >= 3 * kShortWindowFrom && read_short_avx2(base, p, end, out, out_end, text)) {
      return true;
    }
    // Anything else is the plain reader's one window.
    text = 0;
  }
  return read_samples<packed_groups>(base, p, end, out, out_end, text, error);
}

// ---- AVX2 writer --------------------------------------------------------
//
// Sixteen samples a block, their 48 values turned into digits in 16-bit
// lanes (as the AVX-512 writer does) and laid out on the stack for the
// samples to pick up: each value's four digits as one dword, in the order of
// the values, and each sample's layout row and text length. A sample is
// then one 16-byte broadcast of its three dwords, one in-lane byte shuffle
// by its row, an OR of the row's fragments and one store: the row, chosen
// by the digit count and sign of x, y and z, puts each present digit and
// sign in its place, and its fragments hold the '0' ORed onto the digits
// (0 to 9) and the '-' of the signs. The next block's digits are worked out
// before this block is written, so that their multiplies overlap its stores
// and its loads read what was stored a block earlier. Blocks holding a value
// of five digits take the samples one by one.
namespace {

constexpr size_t kBlock = kCheckedBlock;  // a long run holds one
// The widest value the digits cover, 9999 or -9999, as a wire value.
constexpr uint16_t kMaxDigitsWire = 2 * 9999;

// A value's state: its digit count less one, plus 4 if it is negative.
// Row x * 64 + y * 8 + z of the layouts is the sample of those states.
constexpr std::array<SampleLayout, 512> make_digit_layouts() {
  std::array<SampleLayout, 512> table{};
  for (size_t s = 0; s < table.size(); ++s) {
    SampleLayout& row = table[s];
    for (size_t i = 0; i < 32; ++i) row.index[i] = 0x80;
    size_t at = 0;
    const auto fragment = [&](std::string_view text) {
      for (char c : text) row.fragments[at++] = static_cast<uint8_t>(c);
    };
    // Dword k of the source holds value k's digits, the ones first.
    const auto value = [&](size_t state, size_t k) {
      if (state >= 4) row.fragments[at++] = '-';
      for (size_t place = (state & 3) + 1; place-- > 0; ++at) {
        row.index[at] = static_cast<uint8_t>(4 * k + place);
        row.fragments[at] = '0';
      }
    };
    fragment(kNextX);
    value(s >> 6, 0);
    fragment(kY);
    value((s >> 3) & 7, 1);
    fragment(kZ);
    value(s & 7, 2);
  }
  return table;
}
alignas(64) constexpr std::array<SampleLayout, 512> kDigitLayouts = make_digit_layouts();
static_assert(kSampleFixed + 3 * (1 + 4) <= 32, "a sample of four-digit values fits the store");

// What a block leaves on the stack for its samples.
struct DigitBlock {
  alignas(32) uint8_t digits[3 * 64 + 32];  // the last sample's broadcast reads 4 bytes past
  alignas(32) uint16_t row[kBlock];         // byte offset of the sample's layout
  alignas(32) uint16_t length[kBlock];      // the sample's text length
};
// Runs shorter than this take their last samples from the block that ends
// at the last one, not one at a time: a usual message is 32 samples.
constexpr size_t kShortRun = 64;

// Word shuffles that take axis `axis` of eight samples out of the blend of
// the three 16-byte lanes holding their 24 values (each word of the blend
// from the lane that has that axis's value there).
struct AxisGather {
  int blend_second, blend_third;
  alignas(16) uint8_t order[16];
};
constexpr AxisGather axis_gather(size_t axis) {
  AxisGather g{0, 0, {}};
  for (size_t sample = 0; sample < 8; ++sample) {
    const size_t j = 3 * sample + axis;  // value j is word j % 8 of lane j / 8
    if (j / 8 == 1) g.blend_second |= 1 << (j % 8);
    if (j / 8 == 2) g.blend_third |= 1 << (j % 8);
    g.order[2 * sample] = static_cast<uint8_t>(2 * (j % 8));
    g.order[2 * sample + 1] = static_cast<uint8_t>(2 * (j % 8) + 1);
  }
  return g;
}
constexpr AxisGather kGather[3] = {axis_gather(0), axis_gather(1), axis_gather(2)};

// The 16 values of axis A of a block from its lanes p = (0 | 3), q = (1 | 4)
// and r = (2 | 5), lanes numbered in the order of the values.
template <size_t A>
__attribute__((target("avx2"), always_inline)) inline __m256i axis_values(__m256i p, __m256i q,
                                                                         __m256i r) noexcept {
  constexpr int kSecond = kGather[A].blend_second, kThird = kGather[A].blend_third;
  const __m256i mixed = _mm256_blend_epi16(_mm256_blend_epi16(p, q, kSecond), r, kThird);
  return _mm256_shuffle_epi8(mixed, _mm256_broadcastsi128_si256(_mm_load_si128(
                                        reinterpret_cast<const __m128i*>(kGather[A].order))));
}

// A constant the compiler may not look into: it would otherwise turn the
// multiplies by constants into shifts and adds, and set the others up again
// at every block.
__attribute__((target("avx2"), always_inline)) inline __m256i held(__m256i v) noexcept {
  asm("" : "+x"(v));
  return v;
}

}  // namespace

__attribute__((target("avx2"))) void long_run_avx2(char*& out, const char* end, const uint16_t*& s,
                                                   const uint16_t* s_last) noexcept {
  const __m256i one = held(_mm256_set1_epi16(1));
  const __m256i by200 = held(_mm256_set1_epi16(10486));
  const __m256i hundred = held(_mm256_set1_epi16(100));
  const __m256i by10 = held(_mm256_set1_epi16(6554));
  const __m256i c246 = held(_mm256_set1_epi16(246));
  const __m256i widest = held(_mm256_set1_epi16(static_cast<int16_t>(kMaxDigitsWire)));
  const __m256i wire10 = held(_mm256_set1_epi16(18));
  const __m256i wire100 = held(_mm256_set1_epi16(198));
  const __m256i wire1000 = held(_mm256_set1_epi16(1998));
  const auto load3 = [](const uint16_t* t, __m256i v[3]) __attribute__((target("avx2"))) {
    for (size_t k = 0; k < 3; ++k) v[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + 16 * k));
  };
  const auto in_range = [&](const uint16_t* t) __attribute__((target("avx2"))) {
    __m256i v[3];
    load3(t, v);
    const __m256i most = _mm256_max_epu16(_mm256_max_epu16(v[0], v[1]), v[2]);
    const __m256i past = _mm256_subs_epu16(most, widest);
    return _mm256_testz_si256(past, past) != 0;
  };
  const auto prepare = [&](const uint16_t* t, DigitBlock& b) __attribute__((target("avx2"))) {
    __m256i v[3];
    load3(t, v);
    for (size_t k = 0; k < 3; ++k) {
      // Quadwords 0, 2 | 1, 3, so that the unpacks below give values in order.
      const __m256i u = _mm256_permute4x64_epi64(v[k], 0xD8);
      // The magnitude of wire value u is m = (u + 1) / 2, so m / 100 is
      // (u + 1) / 200: a multiply-high by 2^21 / 200 rounded up, exact below
      // 2^16 / 3.
      const __m256i u1 = _mm256_add_epi16(u, one);
      const __m256i hundreds = _mm256_srli_epi16(_mm256_mulhi_epu16(u1, by200), 5);
      const __m256i rest =
          _mm256_sub_epi16(_mm256_srli_epi16(u1, 1), _mm256_mullo_epi16(hundreds, hundred));
      // x + 246 * (x / 10) for x below 100: the ones digit in the low byte,
      // the tens in the high one.
      const __m256i high = _mm256_add_epi16(
          hundreds, _mm256_mullo_epi16(_mm256_mulhi_epu16(hundreds, by10), c246));
      const __m256i low =
          _mm256_add_epi16(rest, _mm256_mullo_epi16(_mm256_mulhi_epu16(rest, by10), c246));
      auto* d = reinterpret_cast<__m256i*>(b.digits + 64 * k);
      _mm256_store_si256(d, _mm256_unpacklo_epi16(low, high));
      _mm256_store_si256(d + 1, _mm256_unpackhi_epi16(low, high));
    }
    // The values by axis: lane 0 holds samples 0 to 7 (the first 24 values),
    // lane 1 samples 8 to 15.
    const __m256i p = _mm256_blend_epi32(v[0], v[1], 0xF0);
    const __m256i q = _mm256_permute2x128_si256(v[0], v[2], 0x21);
    const __m256i r = _mm256_blend_epi32(v[1], v[2], 0xF0);
    const __m256i axes[3] = {axis_values<0>(p, q, r), axis_values<1>(p, q, r),
                             axis_values<2>(p, q, r)};
    __m256i state[3], sign[3], more[3];
    for (size_t a = 0; a < 3; ++a) {
      const __m256i u = axes[a];
      // Minus the digits past the first (the compares give -1 each), and
      // the sign of the odd (negative) wire values.
      more[a] = _mm256_add_epi16(
          _mm256_add_epi16(_mm256_cmpgt_epi16(u, wire10), _mm256_cmpgt_epi16(u, wire100)),
          _mm256_cmpgt_epi16(u, wire1000));
      sign[a] = _mm256_and_si256(u, one);
      state[a] = _mm256_sub_epi16(_mm256_slli_epi16(sign[a], 2), more[a]);
    }
    const __m256i row = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_slli_epi16(state[0], 12), _mm256_slli_epi16(state[1], 9)),
        _mm256_slli_epi16(state[2], 6));
    const __m256i length = _mm256_sub_epi16(
        _mm256_add_epi16(_mm256_add_epi16(sign[0], sign[1]),
                         _mm256_add_epi16(sign[2], _mm256_set1_epi16(kSampleFixed + 3))),
        _mm256_add_epi16(_mm256_add_epi16(more[0], more[1]), more[2]));
    _mm256_store_si256(reinterpret_cast<__m256i*>(b.row), row);
    _mm256_store_si256(reinterpret_cast<__m256i*>(b.length), length);
  };
  const auto* const layouts = reinterpret_cast<const uint8_t*>(kDigitLayouts.data());
  // Samples `from` to the last of a block, the first at `to`.
  const auto emit = [&](char* to, const DigitBlock& b, size_t from) __attribute__((target("avx2"))) {
    const auto sample = [&](size_t i) __attribute__((target("avx2"))) {
      const __m256i source = _mm256_broadcastsi128_si256(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(b.digits + 12 * i)));
      const uint8_t* const row = layouts + b.row[i];
      const __m256i text = _mm256_or_si256(
          _mm256_shuffle_epi8(source, _mm256_load_si256(reinterpret_cast<const __m256i*>(row))),
          _mm256_load_si256(reinterpret_cast<const __m256i*>(row + 32)));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), text);
      to += b.length[i];
    };
    if (from == 0) [[likely]] {
#pragma GCC unroll 16
      for (size_t i = 0; i < kBlock; ++i) sample(i);
    } else {
      for (size_t i = from; i < kBlock; ++i) sample(i);
    }
    return to;
  };
  // Locals, not the references: stores through char* could alias them.
  char* to = out;
  const uint16_t* t = s;
  DigitBlock blocks[2];
  if (s_last - t < static_cast<ptrdiff_t>(3 * kShortRun)) {
    // Blocks with the room checked by their own lengths, the last one
    // ending at the last sample (a long run has one), each worked out
    // before the one before it is written.
    const uint16_t* const tail = s_last - t >= static_cast<ptrdiff_t>(3 * kBlock) ? s_last - 3 * kBlock : nullptr;
    const auto block_at = [&](const uint16_t* from) {
      return s_last - from >= static_cast<ptrdiff_t>(3 * kBlock) ? from : tail;
    };
    // The room samples `from` on take: the last store writes 32 bytes.
    const auto room = [](const DigitBlock& b, size_t from) {
      ptrdiff_t n = 32;
      for (size_t i = from; i + 1 < kBlock; ++i) n += b.length[i];
      return n;
    };
    DigitBlock* now = &blocks[0];
    DigitBlock* later = &blocks[1];
    while (t != s_last) {
      const uint16_t* block = block_at(t);
      if (block == nullptr || !in_range(block)) {
        if (end - to < static_cast<ptrdiff_t>(kWideRoom)) break;
        to = put_any_sample_avx2(to, t);
        t += 3;
        continue;
      }
      prepare(block, *now);
      for (;;) {
        const auto from = static_cast<size_t>(t - block) / 3;
        const uint16_t* const next = block + 3 * kBlock;
        const uint16_t* const after = block_at(next);
        const bool more = next != s_last && in_range(after);
        if (more) prepare(after, *later);
        if (end - to < room(*now, from)) {
          out = to;
          s = t;
          return;
        }
        to = emit(to, *now, from);
        t = next;
        if (!more) break;
        block = after;
        std::swap(now, later);
      }
    }
    out = to;
    s = t;
    return;
  }
  for (size_t fit; (fit = samples_that_fit(to, end, t, s_last)) != 0;) {
    const uint16_t* const stop = t + 3 * fit;
    while (t != stop) {
      if (static_cast<size_t>(stop - t) >= 3 * kBlock && in_range(t)) [[likely]] {
        DigitBlock* now = &blocks[0];
        DigitBlock* later = &blocks[1];
        prepare(t, *now);
        for (;;) {
          const uint16_t* const next = t + 3 * kBlock;
          if (static_cast<size_t>(stop - next) >= 3 * kBlock && in_range(next)) [[likely]] {
            prepare(next, *later);
            to = emit(to, *now, 0);
            t = next;
            std::swap(now, later);
            continue;
          }
          to = emit(to, *now, 0);
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
