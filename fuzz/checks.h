// Invariant checks shared by the fuzz targets. Each check aborts the
// process on a break, so libFuzzer (or the replay driver) reports it as a
// crash with the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace vorlane::fuzz {

[[noreturn]] inline void broken(const char* what, std::string_view detail) {
  std::fprintf(stderr, "invariant broken: %s\n  %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

#define FUZZ_CHECK(cond, detail)                        \
  do {                                                  \
    if (!(cond)) ::vorlane::fuzz::broken(#cond, detail); \
  } while (0)

// Canonical Base64 of `bytes` (standard alphabet, padded).
inline std::string encode_base64(const uint8_t* data, size_t size) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t w = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    out += kAlphabet[w >> 18];
    out += kAlphabet[(w >> 12) & 63];
    out += kAlphabet[(w >> 6) & 63];
    out += kAlphabet[w & 63];
  }
  if (size - i == 1) {
    const uint32_t w = uint32_t{data[i]} << 16;
    out += kAlphabet[w >> 18];
    out += kAlphabet[(w >> 12) & 63];
    out += "==";
  } else if (size - i == 2) {
    const uint32_t w = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8);
    out += kAlphabet[w >> 18];
    out += kAlphabet[(w >> 12) & 63];
    out += kAlphabet[(w >> 6) & 63];
    out += '=';
  }
  return out;
}

// A small cursor for matching the fixed shapes below.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool done() const { return pos_ == text_.size(); }
  bool literal(std::string_view s) {
    if (text_.substr(pos_, s.size()) != s) return false;
    pos_ += s.size();
    return true;
  }
  bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  // Unsigned decimal: "0" or a non-zero digit then digits; no sign, no
  // leading zero, no grouping. Fails on values above `max`.
  bool unsigned_number(uint64_t max, uint64_t& value) {
    const size_t start = pos_;
    value = 0;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      const auto digit = static_cast<uint64_t>(text_[pos_] - '0');
      if (value > (max - digit) / 10) return false;
      value = value * 10 + digit;
      ++pos_;
    }
    if (pos_ == start) return false;
    return !(text_[start] == '0' && pos_ - start > 1);
  }

  // JSON integer within [-(max + 1), max]: "-" only before a non-zero
  // magnitude, so "-0" is refused.
  bool signed_number(uint64_t max, int64_t& value) {
    const bool negative = literal("-");
    uint64_t magnitude = 0;
    if (!unsigned_number(negative ? max + 1 : max, magnitude)) return false;
    if (negative && magnitude == 0) return false;
    value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
  }

  // One of `names` as a JSON string.
  template <size_t N>
  bool name_string(const std::string_view (&names)[N]) {
    for (std::string_view name : names) {
      const size_t saved = pos_;
      if (literal("\"") && literal(name) && literal("\"")) return true;
      pos_ = saved;
    }
    return false;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

inline constexpr std::string_view kRanges[] = {"R2G", "R4G", "R8G"};
inline constexpr std::string_view kFreqs[] = {"F12_5Hz", "F25Hz", "F50Hz",
                                              "F100Hz",  "F200Hz", "F400Hz"};
inline constexpr std::string_view kNoises[] = {"NormalNoise", "LowNoise", "UltraLowNoise"};
inline constexpr std::string_view kAntialiases[] = {"HalfFreq", "QuarterFreq"};

// Checks that `doc` is the compact document of one record of `version`:
// {"Accel":{"V<n>":{...}}} with every member present, in the documented
// order, integers in range and written without leading zeros, and nothing
// else (no whitespace, nothing after the last brace). Sets the number of
// samples.
inline bool well_formed_document(std::string_view doc, uint64_t version, size_t& samples) {
  Scanner s(doc);
  const char digit[2] = {static_cast<char>('0' + version), '\0'};
  if (!s.literal("{\"Accel\":{\"V") || !s.literal(digit) || !s.literal("\":{")) return false;
  int64_t v = 0;
  if (version == 1) {
    if (!s.literal("\"timestamp\":") || !s.signed_number(INT64_MAX, v)) return false;
  } else {
    if (!s.literal("\"range\":") || !s.name_string(kRanges)) return false;
    if (!s.literal(",\"freq\":") || !s.name_string(kFreqs)) return false;
    if (!s.literal(",\"noise\":") || !s.name_string(kNoises)) return false;
    if (!s.literal(",\"antialias\":") || !s.name_string(kAntialiases)) return false;
    if (!s.literal(",")) return false;
  }
  if (version == 1 && !s.literal(",")) return false;
  if (!s.literal("\"acc_temp\":") || !s.signed_number(INT16_MAX, v)) return false;
  if (!s.literal(",\"samples\":[")) return false;
  samples = 0;
  if (!s.peek(']')) {
    do {
      if (!s.literal("{\"x\":") || !s.signed_number(INT16_MAX, v)) return false;
      if (!s.literal(",\"y\":") || !s.signed_number(INT16_MAX, v)) return false;
      if (!s.literal(",\"z\":") || !s.signed_number(INT16_MAX, v)) return false;
      if (!s.literal("}")) return false;
      ++samples;
    } while (s.literal(","));
  }
  return s.literal("]}}}") && s.done();
}

// Checks that `text` is one of the documented Base64 fault forms, with the
// numbers consistent with the input text.
inline bool well_formed_base64_error(std::string_view text, std::string_view input) {
  Scanner s(text);
  uint64_t offset = 0;
  uint64_t byte = 0;
  if (s.literal("InvalidByte(") || s.literal("InvalidLastSymbol(")) {
    if (!s.unsigned_number(UINT64_MAX, offset) || !s.literal(", ") ||
        !s.unsigned_number(255, byte) || !s.literal(")") || !s.done()) {
      return false;
    }
    // The byte named is the one that stands at the offset.
    return offset < input.size() && static_cast<uint8_t>(input[offset]) == byte;
  }
  if (s.literal("InvalidLength(")) {
    // Only a text of 4k + 1 bytes ending in a lone symbol gets here.
    return s.unsigned_number(UINT64_MAX, offset) && s.literal(")") && s.done() &&
           offset == input.size() && input.size() % 4 == 1;
  }
  return s.literal("InvalidPadding") && s.done();
}

// Checks the debug text of a decoding failure for `version` on `input`.
inline bool well_formed_error(std::string_view text, uint64_t version, std::string_view input) {
  Scanner s(text);
  if (s.literal("B64Error(")) {
    return text.size() > 10 && text.back() == ')' &&
           well_formed_base64_error(text.substr(9, text.size() - 10), input);
  }
  if (s.literal("ProtocolVersionNotSupported(")) {
    uint64_t n = 0;
    return s.unsigned_number(UINT64_MAX, n) && s.literal(")") && s.done() && n == version &&
           (version < 1 || version > 3);
  }
  if (version < 1 || version > 3 || !s.literal("PostcardError(")) return false;
  // Version 1 has no enumerations, so no tag can be out of range.
  const bool known = s.literal("DeserializeUnexpectedEnd") || s.literal("DeserializeBadVarint") ||
                     (version != 1 && s.literal("SerdeDeCustom"));
  return known && s.literal(")") && s.done();
}

}  // namespace vorlane::fuzz
