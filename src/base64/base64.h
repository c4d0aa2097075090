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
// failure. Uses the kernel of the CPU path taken.
Result<size_t, Base64DecodeError> decode_into(std::string_view text, uint8_t* out) noexcept;

// A Base64 kernel: the block decoder of the body, and of whole short texts.
// Every kernel gives the same bytes and the same error for every text; only
// the speed differs. The table of CPU paths says which CPU runs which.
struct Kernel {
  // Whole blocks from the start of the body (see blocks.h); null: none,
  // groups of four only.
  size_t (*blocks)(const uint8_t* in, size_t len, uint8_t* out) noexcept;
  // A whole text of 4 to 64 bytes in one step, when it is valid (see
  // blocks::decode_short_avx512); null: none.
  bool (*short_text)(const uint8_t* in, size_t n, uint8_t* out, size_t& written,
                     int fill) noexcept;
  // Where short_text also takes, with no fill, the last 4 to `tail` bytes
  // of a longer text whose whole `tail`-byte blocks went to `blocks`: a
  // valid text then needs no group loop; 0: never.
  size_t tail = 0;
  // Where short_text, in its filled form only, also takes the last
  // `filled_tail` bytes of a longer text whose bytes before them went to
  // `blocks` (it decodes again what the two share): 0: never.
  size_t filled_tail = 0;
};

// Plain C++: sixteen symbols a block, from tables of their bits in place.
extern const Kernel kPortable;
// 16, 32 and 64 symbols per block (x86-64: SSE4.1, AVX2, AVX-512 VBMI),
// each with the narrower ones for what is left.
extern const Kernel kSse41;
extern const Kernel kAvx2;
extern const Kernel kAvx512;

// decode_into with a chosen kernel, which this CPU must run.
Result<size_t, Base64DecodeError> decode_into(std::string_view text, uint8_t* out,
                                              const Kernel& kernel) noexcept;

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
// Every text but a short valid one, for decode_into_filled below.
Result<size_t, Base64DecodeError> decode_into_filled_long(std::string_view text, uint8_t* out,
                                                          uint8_t fill, const Kernel& kernel) noexcept;

// Short texts, the common payload, in one step when they are valid (see
// blocks::decode_short_avx512 for `fill`). False where the text needs the
// exact way, having written nothing.
inline bool decode_short(std::string_view text, uint8_t* out, const Kernel& kernel, int fill,
                         size_t& written) noexcept {
  const size_t n = text.size();
  return kernel.short_text != nullptr && n - 1 < 64 && n % 4 == 0 &&
         kernel.short_text(reinterpret_cast<const uint8_t*>(text.data()), n, out, written, fill);
}

// The same with a chosen kernel, which this CPU must run. A short text, the
// usual payload, goes to the kernel's one step from the caller itself.
inline Result<size_t, Base64DecodeError> decode_into_filled(std::string_view text, uint8_t* out,
                                                            uint8_t fill,
                                                            const Kernel& kernel) noexcept {
  size_t written = 0;
  if (decode_short(text, out, kernel, fill, written)) return written;
  return decode_into_filled_long(text, out, fill, kernel);
}

}  // namespace vorlane::base64
