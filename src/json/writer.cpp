#include "json/writer.h"

#include <algorithm>
#include <array>

#include "json/decimal.h"

namespace vorlane::json {
namespace {

// Per byte: 0 to copy it, 'u' for \u00XX, else the letter after the backslash.
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> table{};
  for (int b = 0; b < 0x20; ++b) table[static_cast<size_t>(b)] = 'u';
  table['"'] = '"';
  table['\\'] = '\\';
  table[0x08] = 'b';
  table[0x09] = 't';
  table[0x0A] = 'n';
  table[0x0C] = 'f';
  table[0x0D] = 'r';
  return table;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

void JsonWriter::grow(size_t extra) {
  const size_t needed = buffer_.size() + extra;
  buffer_.reserve(std::max({needed, buffer_.capacity() * 2, size_t{8}}));
}

void JsonWriter::format_escaped_str(std::string_view text) {
  append("\"", 1);
  size_t run_start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const char escape = kEscape[byte];
    if (escape == 0) continue;
    append(text.data() + run_start, i - run_start);
    if (escape == 'u') {
      const char seq[6] = {'\\', 'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
      append(seq, sizeof seq);
    } else {
      const char seq[2] = {'\\', escape};
      append(seq, sizeof seq);
    }
    run_start = i + 1;
  }
  append(text.data() + run_start, text.size() - run_start);
  append("\"", 1);
}

void JsonWriter::write_i16(int16_t value) { write_i64(value); }

void JsonWriter::write_i64(int64_t value) {
  char digits[decimal::kMaxI64Text];  // the longest text, sign included
  char* const end = digits + sizeof digits;
  char* start = decimal::format_backward(end, decimal::magnitude(value));
  if (value < 0) *--start = '-';
  append(start, static_cast<size_t>(end - start));
}

}  // namespace vorlane::json
