#include "base64/base64.h"

#include <array>

namespace vorlane::base64 {
namespace {

constexpr uint8_t kNotSymbol = 0xFF;
constexpr uint8_t kPad = '=';

constexpr std::array<uint8_t, 256> make_symbol_table() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kNotSymbol;
  constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (size_t i = 0; i < alphabet.size(); ++i) {
    table[static_cast<uint8_t>(alphabet[i])] = static_cast<uint8_t>(i);
  }
  return table;
}

constexpr std::array<uint8_t, 256> kSymbolValue = make_symbol_table();

inline uint8_t at(std::string_view text, size_t i) noexcept {
  return static_cast<uint8_t>(text[i]);
}

// Whole groups of four symbols; '=' is not allowed here. On a bad group the
// bytes are looked at again one by one so that the first bad byte in text
// order is the one reported, with its absolute offset.
Result<size_t, Base64DecodeError> decode_body(std::string_view text, size_t body_len,
                                              uint8_t* out) noexcept {
  for (size_t i = 0; i < body_len; i += 4) {
    const uint8_t a = kSymbolValue[at(text, i)];
    const uint8_t b = kSymbolValue[at(text, i + 1)];
    const uint8_t c = kSymbolValue[at(text, i + 2)];
    const uint8_t d = kSymbolValue[at(text, i + 3)];
    if (((a | b | c | d) & 0x80) != 0) {
      for (size_t k = i;; ++k) {
        if (kSymbolValue[at(text, k)] == kNotSymbol) {
          return fail(Base64DecodeError::invalid_byte(k, at(text, k)));
        }
      }
    }
    const uint32_t word = (uint32_t{a} << 18) | (uint32_t{b} << 12) | (uint32_t{c} << 6) | d;
    out[0] = static_cast<uint8_t>(word >> 16);
    out[1] = static_cast<uint8_t>(word >> 8);
    out[2] = static_cast<uint8_t>(word);
    out += 3;
  }
  return body_len / 4 * 3;
}

}  // namespace

Result<size_t, Base64DecodeError> decode_into(std::string_view text, uint8_t* out) noexcept {
  const size_t n = text.size();
  if (n == 0) return size_t{0};
  const size_t r = n % 4;

  // A text of 4k + 1 bytes: its last byte is judged before anything else.
  if (r == 1) {
    const uint8_t last = at(text, n - 1);
    if (last != kPad && kSymbolValue[last] == kNotSymbol) {
      return fail(Base64DecodeError::invalid_byte(n - 1, last));
    }
  }

  const size_t body_len = r != 0 ? n - r : n - 4;
  auto body = decode_body(text, body_len, out);
  if (!body.ok()) return body;
  size_t written = body.value();

  // The final group, left to right.
  uint8_t symbols[4] = {};
  size_t symbol_count = 0;
  size_t pad_count = 0;
  size_t first_pad = 0;
  for (size_t p = 0; p < n - body_len; ++p) {
    const uint8_t byte = at(text, body_len + p);
    if (byte == kPad) {
      if (p < 2) return fail(Base64DecodeError::invalid_byte(body_len + p, kPad));
      if (pad_count == 0) first_pad = p;
      ++pad_count;
      continue;
    }
    if (pad_count != 0) {
      return fail(Base64DecodeError::invalid_byte(body_len + first_pad, kPad));
    }
    const uint8_t value = kSymbolValue[byte];
    if (value == kNotSymbol) return fail(Base64DecodeError::invalid_byte(body_len + p, byte));
    symbols[symbol_count++] = value;
  }

  if (symbol_count < 2) return fail(Base64DecodeError::invalid_length(body_len + symbol_count));
  if ((symbol_count + pad_count) % 4 != 0) return fail(Base64DecodeError::invalid_padding());

  const size_t last = symbol_count - 1;
  const bool surplus = (symbol_count == 2 && (symbols[1] & 0x0F) != 0) ||
                       (symbol_count == 3 && (symbols[2] & 0x03) != 0);
  if (surplus) {
    return fail(Base64DecodeError::invalid_last_symbol(body_len + last, at(text, body_len + last)));
  }

  const uint32_t word = (uint32_t{symbols[0]} << 18) | (uint32_t{symbols[1]} << 12) |
                        (uint32_t{symbols[2]} << 6) | symbols[3];
  const uint8_t group[3] = {static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 8),
                            static_cast<uint8_t>(word)};
  for (size_t i = 0; i < last; ++i) out[written++] = group[i];
  return written;
}

Result<ByteBuffer, Base64DecodeError> base64_decode(std::string_view text) {
  ByteBuffer buffer;
  const size_t capacity = decoded_capacity(text.size());
  // Uninitialised on purpose: every byte that counts is written.
  if (capacity != 0) buffer.data.reset(new uint8_t[capacity]);
  auto decoded = decode_into(text, buffer.data.get());
  if (!decoded.ok()) return fail(decoded.error());
  buffer.size = decoded.value();
  return buffer;
}

}  // namespace vorlane::base64
