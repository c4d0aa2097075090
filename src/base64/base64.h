// Canonical Base64 (standard alphabet, padding required, no whitespace, no
// stray bits in the last symbol) into bytes. Decoding only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/cpu_path.h"
#include "common/result.h"

namespace vorlane::base64 {

struct Base64DecodeError {
  enum class Kind : uint8_t {
    InvalidByte,        // offset, byte: a byte not allowed where it stands
    InvalidLength,      // length: the text ends with a lone symbol
    InvalidLastSymbol,  // offset, byte: the last symbol carries surplus bits
    InvalidPadding,     // the final group is not padded to four characters
  };

  Kind kind = Kind::InvalidPadding;
  uint8_t byte = 0;        // InvalidByte, InvalidLastSymbol
  uint64_t position = 0;   // the offset, or the length for InvalidLength

  static constexpr Base64DecodeError invalid_byte(uint64_t offset, uint8_t b) {
    return {Kind::InvalidByte, b, offset};
  }
  static constexpr Base64DecodeError invalid_length(uint64_t length) {
    return {Kind::InvalidLength, 0, length};
  }
  static constexpr Base64DecodeError invalid_last_symbol(uint64_t offset, uint8_t b) {
    return {Kind::InvalidLastSymbol, b, offset};
  }
  static constexpr Base64DecodeError invalid_padding() { return {Kind::InvalidPadding, 0, 0}; }

  friend constexpr bool operator==(const Base64DecodeError&, const Base64DecodeError&) = default;
};

// Upper bound of the decoded size of a text of n bytes: ((n + 3) div 4) * 3,
// written so that it cannot overflow.
constexpr size_t decoded_capacity(size_t n) noexcept {
  return n / 4 * 3 + (n % 4 != 0 ? 3 : 0);
}

// Decodes `text` into `out`, which must have room for decoded_capacity()
// bytes. Returns the decoded length. Nothing useful is left in `out` on
// failure. Uses the widest block decoder this CPU has.
Result<size_t, Base64DecodeError> decode_into(std::string_view text, uint8_t* out) noexcept;

// The block decoders for the body. Every path gives the same bytes and the
// same error for every text; only the speed differs.
using Path = cpu::Base64Kernel;

// Whether this CPU can run `path` (Portable always).
bool path_supported(Path path) noexcept;
// The widest supported path; the one decode_into uses.
Path best_path() noexcept;
// decode_into with a chosen path, which must be supported.
Result<size_t, Base64DecodeError> decode_into(std::string_view text, uint8_t* out,
                                              Path path) noexcept;

// Bytes of `fill` that decode_into_filled writes after the decoded ones.
inline constexpr size_t kFillBytes = 8;

// Room decode_into_filled needs for a text of n bytes: the decoded bytes and
// the fill, and never less than one 64-byte vector.
constexpr size_t filled_capacity(size_t n) noexcept {
  return decoded_capacity(n) + kFillBytes < 64 ? 64 : decoded_capacity(n) + kFillBytes;
}

// decode_into, then kFillBytes bytes of `fill` after the decoded bytes; `out`
// must have room for filled_capacity() bytes, and bytes past the fill may be
// overwritten. Meant for a reader that goes on at once: a short text's bytes
// and fill come from one store that its loads are forwarded from.
Result<size_t, Base64DecodeError> decode_into_filled(std::string_view text, uint8_t* out,
                                                     uint8_t fill) noexcept;
// The same with a chosen path, which must be supported.
Result<size_t, Base64DecodeError> decode_into_filled(std::string_view text, uint8_t* out,
                                                     uint8_t fill, Path path) noexcept;

}  // namespace vorlane::base64
