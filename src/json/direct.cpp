#include "json/direct.h"

#include <array>
#include <bit>
#include <cstring>

#include "json/decimal.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VORLANE_X86 1
#include <immintrin.h>
#else
#define VORLANE_X86 0
#endif

// The compiler builtins under GCC and clang (code unchanged there), <bit>
// under others (MSVC). Never called with zero.
#if defined(__GNUC__) || defined(__clang__)
#define VORLANE_CLZ64(x) __builtin_clzll(x)
#define VORLANE_CTZ64(x) __builtin_ctzll(x)
#else
#define VORLANE_CLZ64(x) std::countl_zero(static_cast<uint64_t>(x))
#define VORLANE_CTZ64(x) std::countr_zero(static_cast<uint64_t>(x))
#endif

#include "accel/settings.h"
#include "base64/base64.h"
#include "wire/deserializer.h"

namespace vorlane::json {
namespace {

using accel::Error;
using wire::WireError;

// ---- value texts ----------------------------------------------------------
//
// Samples are kept as their zigzag wire values u; the text of the value u
// stands for comes from tables indexed by u, so small magnitudes, positive
// or negative, sit next to each other at the front.

constexpr int16_t from_wire(uint16_t u) { return wire::zigzag_decode(u); }

constexpr unsigned text_length(int v) {
  unsigned magnitude = static_cast<unsigned>(v < 0 ? -v : v);
  unsigned n = v < 0 ? 2 : 1;
  while (magnitude >= 10) {
    magnitude /= 10;
    ++n;
  }
  return n;
}

// Text length of every wire value.
constexpr std::array<uint8_t, 65536> make_lengths() {
  std::array<uint8_t, 65536> table{};
  for (size_t u = 0; u < table.size(); ++u) {
    table[u] = static_cast<uint8_t>(text_length(from_wire(static_cast<uint16_t>(u))));
  }
  return table;
}
constexpr std::array<uint8_t, 65536> kTextLength = make_lengths();

// Text of the wire values below kTextCount (magnitudes below 4096): the
// characters in the low bytes, the length in the top byte. Readings cluster
// well inside; the rest take the digit-pair road.
constexpr size_t kTextCount = 8192;
static_assert((kTextCount & (kTextCount - 1)) == 0, "one test covers three values");

constexpr uint64_t text_entry(int v) {
  const unsigned n = text_length(v);
  unsigned magnitude = static_cast<unsigned>(v < 0 ? -v : v);
  uint64_t entry = uint64_t{n} << 56;
  for (unsigned i = n; i-- > (v < 0 ? 1u : 0u);) {
    entry |= uint64_t{'0' + magnitude % 10} << (8 * i);
    magnitude /= 10;
  }
  if (v < 0) entry |= uint64_t{'-'};
  return entry;
}

constexpr std::array<uint64_t, kTextCount> make_texts() {
  std::array<uint64_t, kTextCount> table{};
  for (size_t u = 0; u < kTextCount; ++u) table[u] = text_entry(from_wire(static_cast<uint16_t>(u)));
  return table;
}
alignas(64) constexpr std::array<uint64_t, kTextCount> kText = make_texts();

// Number of decimal digits of `magnitude`: estimated from its bit length,
// then one comparison with a power of ten.
inline unsigned decimal_digits(uint64_t magnitude) noexcept {
  static constexpr std::array<uint64_t, 20> kPowers = [] {
    std::array<uint64_t, 20> powers{};
    uint64_t p = 1;
    for (auto& power : powers) {
      power = p;
      p *= 10;
    }
    return powers;
  }();
  const uint64_t m = magnitude | 1;  // zero has one digit, as one has
  const auto estimate = static_cast<unsigned>((64 - VORLANE_CLZ64(m)) * 1233) >> 12;
  return estimate + (m >= kPowers[estimate] ? 1 : 0);
}

// The eight decimal digits of x (below 10^8), the first in the lowest byte:
// x split into halves, quarters and digits in the lanes of one word, each
// split one multiply and shift (exact for these ranges) for every lane.
inline uint64_t eight_digits(uint32_t x) noexcept {
  uint64_t v = uint64_t{x / 10000} | uint64_t{x % 10000} << 32;
  uint64_t high = ((v * 10486) >> 20) & 0x0000007F0000007Full;  // / 100 in 32-bit lanes
  v = high | (v - high * 100) << 16;
  high = ((v * 103) >> 10) & 0x000F000F000F000Full;  // / 10 in 16-bit lanes
  v = high | (v - high * 10) << 8;
  return v | 0x3030303030303030ull;
}

// Writes the text of `value`, eight digits at a time. Stores up to eight
// bytes past the text, so that many must be writable.
char* put_i64(char* out, int64_t value) noexcept {
  constexpr uint64_t kEight = 100000000;
  uint64_t magnitude = static_cast<uint64_t>(value);
  if (value < 0) {
    *out++ = '-';
    magnitude = 0 - magnitude;
  }
  const unsigned n = decimal_digits(magnitude);
  // The leading group (one to eight digits), then whole groups of eight.
  const unsigned groups = (n - 1) / 8;
  uint64_t lead = magnitude;
  uint64_t rest[2] = {};
  for (unsigned g = groups; g-- > 0;) {
    rest[g] = lead % kEight;
    lead /= kEight;
  }
  const unsigned lead_digits = n - 8 * groups;
  const uint64_t first = eight_digits(static_cast<uint32_t>(lead)) >> (8 * (8 - lead_digits));
  std::memcpy(out, &first, 8);
  out += lead_digits;
  for (unsigned g = 0; g < groups; ++g) {
    const uint64_t digits = eight_digits(static_cast<uint32_t>(rest[g]));
    std::memcpy(out, &digits, 8);
    out += 8;
  }
  return out;
}

// The text entry of a wire value past the table, a magnitude of 4096 to
// 32768: four or five digits from digit pairs, and the sign.
inline uint64_t wide_entry(uint16_t u) noexcept {
  const uint32_t magnitude = (uint32_t{u} + 1) >> 1;  // |v| for the zigzag value u
  const uint32_t high = magnitude / 100;
  const auto pair = [](uint32_t k) {
    uint16_t digits;
    std::memcpy(&digits, &detail::kDigitPairs[2 * k], 2);
    return uint64_t{digits};
  };
  uint64_t chars;
  uint64_t length;
  if (high >= 100) {
    chars = uint64_t{'0' + high / 100} | pair(high % 100) << 8 | pair(magnitude % 100) << 24;
    length = 5;
  } else {
    chars = pair(high) | pair(magnitude % 100) << 16;
    length = 4;
  }
  if ((u & 1) != 0) {  // odd wire values are the negative ones
    chars = chars << 8 | uint64_t{'-'};
    ++length;
  }
  return chars | length << 56;
}

// The text entry (as in kText) of any wire value.
inline uint64_t value_entry(uint16_t u) noexcept {
  if (u < kTextCount) [[likely]] return kText[u];
  return wide_entry(u);
}

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
constexpr std::string_view kFirstX = "{\"x\":";
constexpr std::string_view kNextX = "},{\"x\":";
constexpr std::string_view kY = ",\"y\":";
constexpr std::string_view kZ = ",\"z\":";
constexpr std::string_view kCloseEmpty = "]}}}";
// Fixed characters of one sample: {"x":,"y":,"z":} and the "," before every
// sample but the first.
constexpr size_t kSampleFixed = 17;

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
  out = first ? put_fragment<5>(out, kFirstX) : put_fragment<7>(out, kNextX);
  out = put_value_exact(out, x);
  out = put_fragment<5>(out, kY);
  out = put_value_exact(out, y);
  out = put_fragment<5>(out, kZ);
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
  asm("" : "+r"(length));
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

// ---- head -----------------------------------------------------------------

template <size_t N>
inline char* put_text(char* out, const char (&text)[N]) noexcept {
  std::memcpy(out, text, N - 1);
  return out + (N - 1);
}

// The head of a version 2 or 3 document up to the temperature's value, for
// every one of the settings, so that writing it is two wide copies. Devices
// send a handful of settings, so the entries in use stay in cache.
using accel::detail::kAntialiasNames;
using accel::detail::kFreqNames;
using accel::detail::kNoiseNames;
using accel::detail::kRangeNames;

struct SettingsHead {
  char text[119];
  uint8_t size;
};
constexpr size_t kSettingsCount =
    kRangeNames.size() * kFreqNames.size() * kNoiseNames.size() * kAntialiasNames.size();

constexpr size_t settings_index(uint32_t range, uint32_t freq, uint32_t noise,
                                uint32_t antialias) {
  return ((range * kFreqNames.size() + freq) * kNoiseNames.size() + noise) *
             kAntialiasNames.size() +
         antialias;
}

constexpr std::string_view kSettingsPrefix = R"({"Accel":{"V3":{"range":")";
// Where the version digit stands in every settings head.
constexpr size_t kVersionDigit = kSettingsPrefix.find('3');

constexpr std::array<SettingsHead, kSettingsCount> make_settings_heads() {
  std::array<SettingsHead, kSettingsCount> heads{};
  for (uint32_t r = 0; r < kRangeNames.size(); ++r) {
    for (uint32_t f = 0; f < kFreqNames.size(); ++f) {
      for (uint32_t n = 0; n < kNoiseNames.size(); ++n) {
        for (uint32_t a = 0; a < kAntialiasNames.size(); ++a) {
          SettingsHead& head = heads[settings_index(r, f, n, a)];
          size_t size = 0;
          for (std::string_view part :
               {kSettingsPrefix, kRangeNames[r], std::string_view(R"(","freq":")"),
                kFreqNames[f], std::string_view(R"(","noise":")"), kNoiseNames[n],
                std::string_view(R"(","antialias":")"), kAntialiasNames[a],
                std::string_view(R"(","acc_temp":)")}) {
            for (char c : part) head.text[size++] = c;
          }
          head.size = static_cast<uint8_t>(size);
        }
      }
    }
  }
  return heads;
}
alignas(64) constexpr std::array<SettingsHead, kSettingsCount> kSettingsHeads =
    make_settings_heads();

constexpr bool settings_heads_fit_two_copies() {
  for (const SettingsHead& head : kSettingsHeads) {
    if (head.size < 64 || head.size > sizeof head.text) return false;
  }
  return true;
}
static_assert(settings_heads_fit_two_copies(), "every head is 64 to 119 bytes");

// ---- exact readers ----------------------------------------------------------
//
// The wire primitives step for step (one byte at a time, the whole last byte
// compared with its limit), without the Result wrapper, for the head and the
// last samples of a run.

template <class U, unsigned M, uint8_t L>
inline bool read_varint(const uint8_t*& p, const uint8_t* end, U& value, WireError& error) noexcept {
  wire::Deserializer de(p, end);
  auto read = wire::try_take_varint<U, M, L>(de);
  p = de.cursor();
  if (!read.ok()) {
    error = read.error();
    return false;
  }
  value = read.value();
  return true;
}

inline bool read_u16(const uint8_t*& p, const uint8_t* end, uint16_t& v, WireError& e) noexcept {
  return read_varint<uint16_t, 3, 0x03>(p, end, v, e);
}
inline bool read_u64(const uint8_t*& p, const uint8_t* end, uint64_t& v, WireError& e) noexcept {
  return read_varint<uint64_t, 10, 0x01>(p, end, v, e);
}
inline bool read_tag(const uint8_t*& p, const uint8_t* end, uint32_t count, uint32_t& tag,
                     WireError& e) noexcept {
  if (!read_varint<uint32_t, 5, 0x0F>(p, end, tag, e)) return false;
  if (tag >= count) {
    e = WireError::SerdeDeCustom;
    return false;
  }
  return true;
}

// ---- fast sample reader -----------------------------------------------------
//
// A sample is three varints of one to three bytes; the bytes with a clear top
// bit end them. For a window of 64 bytes those ends are one 64-bit mask, and
// each sample takes the next three set bits of it: finding where a sample
// starts never waits for the sample before it to be decoded. The 7-bit groups
// of a sample are packed together once for all three values.

// Bit k set where byte k of the 64 at `p` has a clear top bit.
inline uint64_t end_mask64(const uint8_t* p) noexcept {
#if VORLANE_X86
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

// Value bits of a varint of 1 to 3 bytes.
constexpr uint32_t kValueMask[4] = {0, 0x7F, 0x3FFF, 0x1FFFFF};

#if VORLANE_X86
#define VORLANE_HAVE_PEXT 1
// PEXT without a target attribute on the callers: only run where the CPU
// was asked first (sample_reader_supported).
inline uint64_t pext_groups(uint64_t w) noexcept {
  uint64_t bits;
  asm("pextq %2, %1, %0" : "=r"(bits) : "r"(w), "r"(0x7F7F7F7F7F7F7F7Full));
  return bits;
}
#else
#define VORLANE_HAVE_PEXT 0
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
    const auto e1 = static_cast<unsigned>(VORLANE_CTZ64(ends));
    const auto e2 = static_cast<unsigned>(VORLANE_CTZ64(ends2));
    const auto e3 = static_cast<unsigned>(VORLANE_CTZ64(ends3));
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

// Whole samples from 64-byte windows while 72 bytes are left (a sample that
// starts late in a window is loaded eight bytes wide). Stops when the
// samples are done, the bytes run short, or before a sample with a fault,
// which the exact readers then report. Returns the samples' text length.
template <bool kPext>
size_t read_windows(const uint8_t*& p, const uint8_t* end, uint16_t*& out,
                    const uint16_t* out_end) noexcept {
  size_t text = 0;
  while (out != out_end && end - p >= 72) {
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
    const auto e1 = static_cast<unsigned>(VORLANE_CTZ64(ends) >> 3);
    const auto e2 = static_cast<unsigned>(VORLANE_CTZ64(ends2) >> 3);
    const auto e3 = static_cast<unsigned>(VORLANE_CTZ64(ends3) >> 3);
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

#if VORLANE_X86
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
  while (end - p >= 64 && out != out_end) {
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
    const auto last = static_cast<unsigned>(__builtin_ctzll(last_end));
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
#endif

SampleReader detect_best_reader() noexcept {
  if (sample_reader_supported(SampleReader::Avx512)) return SampleReader::Avx512;
  return sample_reader_supported(SampleReader::Bmi2) ? SampleReader::Bmi2 : SampleReader::Portable;
}

}  // namespace

Result<size_t, Error> DirectDocument::decode_samples(const uint8_t* base, const uint8_t* p,
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
  const bool pext = reader != SampleReader::Portable;
  if (end - p >= 72) {
#if VORLANE_X86
    if (reader == SampleReader::Avx512) text = read_values_avx512(p, end, out, out_end);
#endif
    // What the vector reader left (or all of it), then the end of the run.
    text += pext ? read_windows<true>(p, end, out, out_end) : read_windows<false>(p, end, out, out_end);
  } else if (out != out_end && end - base <= 64) {
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
    if (!read_u16(p, end, *out, error)) return fail(Error::postcard(error));
    text += kTextLength[*out];
  }
  return text + kSampleFixed * count_ - (count_ != 0 ? 1 : 0);
}

bool sample_reader_supported(SampleReader reader) noexcept {
  if (reader == SampleReader::Portable) return true;
#if VORLANE_X86
  // PEXT is one fast instruction on every CPU that has AVX-512 VBMI, but
  // slow microcode on some earlier ones that have BMI2; so both are asked.
  const bool fast_pext = __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("avx512vbmi");
  if (reader == SampleReader::Bmi2) return fast_pext;
  return fast_pext && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2") &&
         __builtin_cpu_supports("popcnt");
#else
  return false;
#endif
}

SampleReader best_sample_reader() noexcept {
  // The CPU does not change while the process runs; asked once.
  static const SampleReader best = detect_best_reader();
  return best;
}

Result<size_t, Error> DirectDocument::prepare(uint64_t version, std::string_view b64_data) {
  return prepare(version, b64_data, best_sample_reader());
}

Result<size_t, Error> DirectDocument::prepare(uint64_t version, std::string_view b64_data,
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
  WireError error{};
  uint16_t acc_temp = 0;
  version_ = version;
  size_t head = 0;
  if (version == 1) {
    uint64_t timestamp = 0;
    if (!read_u64(p, end, timestamp, error) || !read_u16(p, end, acc_temp, error)) {
      return fail(Error::postcard(error));
    }
    timestamp_ = wire::zigzag_decode(timestamp);
    const uint64_t magnitude = timestamp_ < 0 ? 0 - static_cast<uint64_t>(timestamp_)
                                              : static_cast<uint64_t>(timestamp_);
    head = sizeof R"({"Accel":{"V1":{"timestamp":)" - 1 + (timestamp_ < 0 ? 1 : 0) +
           decimal_digits(magnitude);
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
    if (!read_u16(p, end, acc_temp, error)) return fail(Error::postcard(error));
    settings_ = static_cast<uint8_t>(settings_index(range, freq, noise, antialias));
    head = kSettingsHeads[settings_].size - (sizeof R"(,"acc_temp":)" - 1);
  }
  acc_temp_ = acc_temp;
  head += sizeof R"(,"acc_temp":,"samples":[)" - 1 + kTextLength[acc_temp];

  auto samples = decode_samples(bytes, p, end, reader);
  if (!samples.ok()) return fail(samples.error());
  // The last sample's "}" is counted with the sample.
  length_ = head + samples.value() + kCloseEmpty.size();
  return length_;
}

// Everything up to and including "samples":[.
char* DirectDocument::write_head(char* out) const noexcept {
  if (version_ == 1) {
    out = put_text(out, R"({"Accel":{"V1":{"timestamp":)");
    out = put_i64(out, timestamp_);
    out = put_text(out, R"(,"acc_temp":)");
  } else {
    // The first 64 bytes, then the 64 that end the head (they overlap).
    const SettingsHead& head = kSettingsHeads[settings_];
    std::memcpy(out, head.text, 64);
    std::memcpy(out + head.size - 64, head.text + head.size - 64, 64);
    out[kVersionDigit] = static_cast<char>('0' + version_);
    out += head.size;
  }
  // The eight bytes put_value stores fit in what follows.
  out = put_value(out, acc_temp_);
  return put_text(out, R"(,"samples":[)");
}

void DirectDocument::write(char* out) const noexcept {
  char* const end = out + length_;
  out = write_head(out);
  if (count_ == 0) {
    put_text(out, "]}}}");
    return;
  }
  // Wide stores while there is room for them, exact ones for the last
  // samples. The last eight-byte store of a sample starts at most 29 bytes
  // in, so 37 bytes of room are enough.
  const uint16_t* s = samples_;
  const uint16_t* const s_end = samples_ + 3 * count_;
  if (end - out >= 37) {
    out = put_sample(out, s, true);
    s += 3;
    // Long runs: samples that do not wait on each other's positions, with no
    // room check: the last sample (20 bytes at least) is left to the loops
    // below, so what a store writes past its sample always lies inside the
    // document. Short runs keep the plain loop, which sets up faster.
    if (count_ >= kLongRun) {
      // The entries of each sample are loaded one sample ahead of its
      // stores, which lets the loads run ahead of stores whose places are
      // not known yet.
      const auto entries = [](const uint16_t* t, uint64_t& ex, uint64_t& ey, uint64_t& ez) {
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
      };
      uint64_t ex, ey, ez;
      entries(s, ex, ey, ez);
      for (const uint16_t* const s_last = s_end - 3; s != s_last; s += 3) {
        uint64_t nx, ny, nz;
        entries(s + 3, nx, ny, nz);  // at most the last sample
        out = put_next_sample(out, ex, ey, ez);
        ex = nx;
        ey = ny;
        ez = nz;
      }
    }
    for (; s != s_end && end - out >= 37; s += 3) out = put_sample(out, s, false);
  }
  for (; s != s_end; s += 3) out = put_sample_exact(out, s, s == samples_);
  put_text(out, "}]}}}");
}

}  // namespace vorlane::json
