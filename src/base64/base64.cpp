#include "base64/base64.h"

#include <cstring>

#include "base64/blocks.h"
#include "base64/symbols.h"
#include "common/bits.h"
#include "common/cpu_path.h"

namespace vorlane::base64 {
namespace {

inline uint8_t at(std::string_view text, size_t i) noexcept {
  return static_cast<uint8_t>(text[i]);
}

// Step 2: a text of 4k + 1 bytes has its last byte judged before anything else.
bool lone_trailing_byte_bad(std::string_view text) noexcept {
  const size_t n = text.size();
  if (n % 4 != 1) return false;
  const uint8_t last = at(text, n - 1);
  return last != kPad && kSymbolValue[last] == kNotSymbol;
}

// Length of the body: every whole group of four before the final group.
size_t body_length(size_t n) noexcept {
  const size_t r = n % 4;
  return r != 0 ? n - r : n - 4;
}

// The final group (1 to 4 bytes at `body_len`), left to right, then length,
// padding and surplus bits. Writes its 1 to 3 bytes at `out` and adds their
// number to `written`. Plain bool and out-parameters: this runs on every
// call, and a Result per step costs more than the group itself.
bool decode_final_group(std::string_view text, size_t body_len, uint8_t* out, size_t& written,
                        Base64DecodeError& error) noexcept {
  const size_t n = text.size();
  // The three accepted forms of a group of four first; everything else,
  // faults included, goes through the rules one byte at a time.
  if (n - body_len == 4) {
    const uint8_t b2 = at(text, body_len + 2);
    const uint8_t b3 = at(text, body_len + 3);
    const uint8_t s0 = kSymbolValue[at(text, body_len)];
    const uint8_t s1 = kSymbolValue[at(text, body_len + 1)];
    const uint8_t s2 = kSymbolValue[b2];
    const uint8_t s3 = kSymbolValue[b3];
    const uint32_t word = (uint32_t{s0} << 18) | (uint32_t{s1 & 0x3Fu} << 12) |
                          (uint32_t{s2 & 0x3Fu} << 6) | (s3 & 0x3Fu);
    size_t bytes = 0;
    if ((s0 | s1 | s2 | s3) < 64) {
      bytes = 3;
    } else if (b3 == kPad && (s0 | s1 | s2) < 64 && (s2 & 0x03) == 0) {
      bytes = 2;
    } else if (b3 == kPad && b2 == kPad && (s0 | s1) < 64 && (s1 & 0x0F) == 0) {
      bytes = 1;
    }
    if (bytes != 0) {
      // The buffer always has room for a whole group here.
      out[0] = static_cast<uint8_t>(word >> 16);
      out[1] = static_cast<uint8_t>(word >> 8);
      out[2] = static_cast<uint8_t>(word);
      written += bytes;
      return true;
    }
  }
  uint8_t symbols[4] = {};
  size_t symbol_count = 0;
  size_t pad_count = 0;
  size_t first_pad = 0;
  for (size_t p = 0; p < n - body_len; ++p) {
    const uint8_t byte = at(text, body_len + p);
    if (byte == kPad) {
      if (p < 2) return error = Base64DecodeError::invalid_byte(body_len + p, kPad), false;
      if (pad_count == 0) first_pad = p;
      ++pad_count;
      continue;
    }
    if (pad_count != 0) {
      return error = Base64DecodeError::invalid_byte(body_len + first_pad, kPad), false;
    }
    const uint8_t value = kSymbolValue[byte];
    if (value == kNotSymbol) return error = Base64DecodeError::invalid_byte(body_len + p, byte), false;
    symbols[symbol_count++] = value;
  }

  if (symbol_count < 2) return error = Base64DecodeError::invalid_length(body_len + symbol_count), false;
  if ((symbol_count + pad_count) % 4 != 0) return error = Base64DecodeError::invalid_padding(), false;

  const size_t last = symbol_count - 1;
  const bool surplus = (symbol_count == 2 && (symbols[1] & 0x0F) != 0) ||
                       (symbol_count == 3 && (symbols[2] & 0x03) != 0);
  if (surplus) {
    error = Base64DecodeError::invalid_last_symbol(body_len + last, at(text, body_len + last));
    return false;
  }

  const uint32_t word = (uint32_t{symbols[0]} << 18) | (uint32_t{symbols[1]} << 12) |
                        (uint32_t{symbols[2]} << 6) | symbols[3];
  const uint8_t group[3] = {static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 8),
                            static_cast<uint8_t>(word)};
  out[0] = group[0];
  if (last > 1) out[1] = group[1];
  if (last > 2) out[2] = group[2];
  written += last;
  return true;
}

// Whole groups of four symbols from `start` on; '=' is not allowed here. On a
// bad group the bytes are looked at again one by one so that the first bad
// byte in text order is the one reported, with its absolute offset.
bool decode_groups(std::string_view text, size_t start, size_t body_len, uint8_t* out,
                   Base64DecodeError& error) noexcept {
  for (size_t i = start; i < body_len; i += 4) {
    const uint8_t a = kSymbolValue[at(text, i)];
    const uint8_t b = kSymbolValue[at(text, i + 1)];
    const uint8_t c = kSymbolValue[at(text, i + 2)];
    const uint8_t d = kSymbolValue[at(text, i + 3)];
    if (((a | b | c | d) & 0x80) != 0) {
      for (size_t k = i;; ++k) {
        if (kSymbolValue[at(text, k)] == kNotSymbol) {
          error = Base64DecodeError::invalid_byte(k, at(text, k));
          return false;
        }
      }
    }
    const uint32_t word = (uint32_t{a} << 18) | (uint32_t{b} << 12) | (uint32_t{c} << 6) | d;
    out[0] = static_cast<uint8_t>(word >> 16);
    out[1] = static_cast<uint8_t>(word >> 8);
    out[2] = static_cast<uint8_t>(word);
    out += 3;
  }
  return true;
}

// Each symbol's six bits where they go in its group's 24, by its place in
// the group; the top byte set for a byte that is not a symbol, so that one
// test of four groups ORed together finds any.
struct PlacedSymbols {
  uint32_t at[4][256];
};
constexpr PlacedSymbols make_placed_symbols() {
  PlacedSymbols t{};
  for (unsigned place = 0; place < 4; ++place) {
    for (unsigned b = 0; b < 256; ++b) {
      const uint8_t v = kSymbolValue[b];
      t.at[place][b] = v == kNotSymbol ? 0xFF000000u : uint32_t{v} << (18 - 6 * place);
    }
  }
  return t;
}
constexpr PlacedSymbols kPlacedSymbols = make_placed_symbols();

inline uint32_t group_bits(const uint8_t* in) noexcept {
  const auto& t = kPlacedSymbols.at;
  return t[0][in[0]] | t[1][in[1]] | t[2][in[2]] | t[3][in[3]];
}

// Two groups' 48 bits, in text order from the first byte of an eight-byte
// word as it is stored.
inline uint64_t text_order(uint32_t first, uint32_t second) noexcept {
  return bits::byteswap(uint64_t{first} << 40 | uint64_t{second} << 16);
}

}  // namespace

size_t blocks::decode_portable(const uint8_t* in, size_t len, uint8_t* out) noexcept {
  size_t i = 0;
  for (; i + 16 <= len; i += 16, in += 16, out += 12) {
    const uint32_t a = group_bits(in), b = group_bits(in + 4);
    const uint32_t c = group_bits(in + 8), d = group_bits(in + 12);
    if (((a | b | c | d) >> 24) != 0) break;
    // Eight bytes, then the last six over the two past the first six.
    const uint64_t first = text_order(a, b), last = text_order(c, d);
    std::memcpy(out, &first, 8);
    std::memcpy(out + 6, &last, 6);
  }
  return i;
}

const Kernel kPortable{blocks::decode_portable, nullptr};

namespace {

// A valid text longer than short_text takes, where the kernel has a tail
// step: whole blocks, then the last 4 to kernel.tail bytes in one step.
// False where the text needs the exact way (which starts over).
bool decode_blocks_and_tail(std::string_view text, uint8_t* out, const Kernel& kernel,
                            size_t& written) noexcept {
  const size_t n = text.size();
  const size_t tail = kernel.tail;
  if (tail == 0 || n <= tail || n % 4 != 0) return false;
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  const size_t body = (n - 1) / tail * tail;
  if (kernel.blocks(in, body, out) != body) return false;
  size_t last = 0;
  if (!kernel.short_text(in + body, n - body, out + body / 4 * 3, last, -1)) return false;
  written = body / 4 * 3 + last;
  return true;
}

// The same for a kernel whose one step takes a tail only with a fill after
// it: the blocks up to the last kernel.filled_tail bytes, then those in one
// step, whose store must end inside the fill's room (AVX2's 32 bytes for a
// tail of 32 symbols end with the eight fill bytes after its 24). False
// where the text needs the exact way.
bool decode_blocks_and_filled_tail(std::string_view text, uint8_t* out, uint8_t fill,
                                   const Kernel& kernel, size_t& written) noexcept {
  const size_t n = text.size();
  const size_t tail = kernel.filled_tail;
  if (tail == 0 || n <= tail || n % 4 != 0) return false;
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  const size_t start = n - tail;
  // Whole 16-byte blocks over all before the tail, none into its last group.
  const size_t body = (start + 15) / 16 * 16;
  if (body + 4 > n || kernel.blocks(in, body, out) != body) return false;
  size_t last = 0;
  if (!kernel.short_text(in + start, tail, out + start / 4 * 3, last, fill)) return false;
  written = start / 4 * 3 + last;
  return true;
}

// Blocks, then groups, then the final group: every text, exactly.
Result<size_t, Base64DecodeError> decode_exact(std::string_view text, uint8_t* out,
                                               const Kernel& kernel) noexcept {
  const size_t n = text.size();
  if (n == 0) return size_t{0};
  if (lone_trailing_byte_bad(text)) {
    return fail(Base64DecodeError::invalid_byte(n - 1, at(text, n - 1)));
  }
  const size_t body_len = body_length(n);

  // The block decoders stop before the first block that holds a bad byte;
  // the groups loop then finds that byte exactly.
  size_t done = 0;
  if (kernel.blocks != nullptr && body_len >= 16) {
    done = kernel.blocks(reinterpret_cast<const uint8_t*>(text.data()), body_len, out);
  }
  Base64DecodeError error;
  size_t written = body_len / 4 * 3;
  if (!decode_groups(text, done, body_len, out + done / 4 * 3, error) ||
      !decode_final_group(text, body_len, out + written, written, error)) {
    return fail(error);
  }
  return written;
}

}  // namespace

Result<size_t, Base64DecodeError> decode_into(std::string_view text, uint8_t* out,
                                              const Kernel& kernel) noexcept {
  size_t written = 0;
  if (decode_short(text, out, kernel, -1, written) ||
      decode_blocks_and_tail(text, out, kernel, written)) {
    return written;
  }
  return decode_exact(text, out, kernel);
}

Result<size_t, Base64DecodeError> decode_into(std::string_view text, uint8_t* out) noexcept {
  return decode_into(text, out, *cpu::chosen_path().base64);
}

Result<size_t, Base64DecodeError> decode_into_filled_long(std::string_view text, uint8_t* out,
                                                          uint8_t fill, const Kernel& kernel) noexcept {
  size_t written = 0;
  if (decode_blocks_and_filled_tail(text, out, fill, kernel, written)) return written;
  if (decode_blocks_and_tail(text, out, kernel, written)) {
    std::memset(out + written, fill, kFillBytes);
    return written;
  }
  auto decoded = decode_exact(text, out, kernel);
  if (decoded.ok()) std::memset(out + decoded.value(), fill, kFillBytes);
  return decoded;
}

Result<size_t, Base64DecodeError> decode_into_filled(std::string_view text, uint8_t* out,
                                                     uint8_t fill) noexcept {
  return decode_into_filled(text, out, fill, *cpu::chosen_path().base64);
}

}  // namespace vorlane::base64
