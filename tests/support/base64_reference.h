// Test-only Base64 helpers, shared by the tests, the fuzz targets and the
// benchmarks (the library itself holds only what the product uses):
//
// reference_decode_into: the plain byte-by-byte decoder the block decoders
// are held to, with the final group judged by the rules step by step.
// base64_decode: decode_into into a buffer it allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "base64/base64.h"
#include "base64/symbols.h"

namespace vorlane::testing {

using base64::Base64DecodeError;

inline Result<size_t, Base64DecodeError> reference_decode_into(std::string_view text,
                                                               uint8_t* out) noexcept {
  using base64::kNotSymbol;
  using base64::kPad;
  using base64::kSymbolValue;
  const auto at = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const size_t n = text.size();
  if (n == 0) return size_t{0};
  // A text of 4k + 1 bytes has its last byte judged before anything else.
  if (n % 4 == 1 && at(n - 1) != kPad && kSymbolValue[at(n - 1)] == kNotSymbol) {
    return fail(Base64DecodeError::invalid_byte(n - 1, at(n - 1)));
  }
  // The body: every whole group before the final one, one symbol at a time.
  const size_t body_len = n % 4 != 0 ? n - n % 4 : n - 4;
  uint32_t word = 0;
  size_t written = 0;
  for (size_t i = 0; i < body_len; ++i) {
    const uint8_t value = kSymbolValue[at(i)];
    if (value == kNotSymbol) return fail(Base64DecodeError::invalid_byte(i, at(i)));
    word = (word << 6) | value;
    if (i % 4 == 3) {
      out[written++] = static_cast<uint8_t>(word >> 16);
      out[written++] = static_cast<uint8_t>(word >> 8);
      out[written++] = static_cast<uint8_t>(word);
      word = 0;
    }
  }
  // The final group: left to right, then length, padding and surplus bits.
  uint8_t symbols[4] = {};
  size_t symbol_count = 0, pad_count = 0, first_pad = 0;
  for (size_t p = 0; p < n - body_len; ++p) {
    const uint8_t byte = at(body_len + p);
    if (byte == kPad) {
      if (p < 2) return fail(Base64DecodeError::invalid_byte(body_len + p, kPad));
      if (pad_count++ == 0) first_pad = p;
      continue;
    }
    if (pad_count != 0) return fail(Base64DecodeError::invalid_byte(body_len + first_pad, kPad));
    if (kSymbolValue[byte] == kNotSymbol) {
      return fail(Base64DecodeError::invalid_byte(body_len + p, byte));
    }
    symbols[symbol_count++] = kSymbolValue[byte];
  }
  if (symbol_count < 2) return fail(Base64DecodeError::invalid_length(body_len + symbol_count));
  if ((symbol_count + pad_count) % 4 != 0) return fail(Base64DecodeError::invalid_padding());
  const size_t last = symbol_count - 1;
  if ((symbol_count == 2 && (symbols[1] & 0x0F) != 0) ||
      (symbol_count == 3 && (symbols[2] & 0x03) != 0)) {
    return fail(Base64DecodeError::invalid_last_symbol(body_len + last, at(body_len + last)));
  }
  word = (uint32_t{symbols[0]} << 18) | (uint32_t{symbols[1]} << 12) |
         (uint32_t{symbols[2]} << 6) | symbols[3];
  for (size_t k = 0; k < last; ++k) out[written++] = static_cast<uint8_t>(word >> (16 - 8 * k));
  return written;
}

// Owned decoded bytes.
struct ByteBuffer {
  std::unique_ptr<uint8_t[]> data;
  size_t size = 0;
};

// Allocates once at decoded_capacity() and decodes into it.
inline Result<ByteBuffer, Base64DecodeError> base64_decode(std::string_view text) {
  ByteBuffer buffer;
  const size_t capacity = base64::decoded_capacity(text.size());
  if (capacity != 0) buffer.data.reset(new uint8_t[capacity]);
  auto decoded = base64::decode_into(text, buffer.data.get());
  if (!decoded.ok()) return fail(decoded.error());
  buffer.size = decoded.value();
  return buffer;
}

}  // namespace vorlane::testing
