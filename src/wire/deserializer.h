// Forward-only reader over postcard bytes and the primitives that the
// accelerometer payloads are built from.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "common/result.h"
#include "wire/wire_error.h"

namespace vorlane::wire {

// A cursor and an end over bytes owned by the caller; never copies them,
// never moves backwards, never passes the end.
class Deserializer {
 public:
  Deserializer(const uint8_t* begin, const uint8_t* end) noexcept : cursor_(begin), end_(end) {}

  const uint8_t* cursor() const noexcept { return cursor_; }
  const uint8_t* end() const noexcept { return end_; }
  size_t remaining() const noexcept { return static_cast<size_t>(end_ - cursor_); }

  bool at_end() const noexcept { return cursor_ == end_; }
  uint8_t take_byte() noexcept { return *cursor_++; }

 private:
  const uint8_t* cursor_;
  const uint8_t* end_;
};

// Unsigned LEB128 of at most M bytes whose M-th byte may hold at most L.
// The whole M-th byte is compared, so a continuation flag there is refused
// even when the input ends right after it.
template <class U, unsigned M, uint8_t L>
inline Result<U, WireError> try_take_varint(Deserializer& de) noexcept {
  static_assert(std::is_unsigned_v<U>);
  U value = 0;
  for (unsigned i = 0; i < M - 1; ++i) {
    if (de.at_end()) return fail(WireError::DeserializeUnexpectedEnd);
    const uint8_t b = de.take_byte();
    value = static_cast<U>(value | static_cast<U>(static_cast<U>(b & 0x7F) << (7 * i)));
    if ((b & 0x80) == 0) return value;
  }
  if (de.at_end()) return fail(WireError::DeserializeUnexpectedEnd);
  const uint8_t b = de.take_byte();
  if (b > L) return fail(WireError::DeserializeBadVarint);
  return static_cast<U>(value | static_cast<U>(static_cast<U>(b) << (7 * (M - 1))));
}

inline Result<uint16_t, WireError> try_take_varint_u16(Deserializer& de) noexcept {
  return try_take_varint<uint16_t, 3, 0x03>(de);
}
inline Result<uint32_t, WireError> try_take_varint_u32(Deserializer& de) noexcept {
  return try_take_varint<uint32_t, 5, 0x0F>(de);
}
inline Result<uint64_t, WireError> try_take_varint_u64(Deserializer& de) noexcept {
  return try_take_varint<uint64_t, 10, 0x01>(de);
}

template <class U>
constexpr std::make_signed_t<U> zigzag_decode(U n) noexcept {
  return static_cast<std::make_signed_t<U>>(static_cast<U>((n >> 1) ^ static_cast<U>(U{0} - (n & 1U))));
}

inline Result<int16_t, WireError> try_take_zigzag_i16(Deserializer& de) noexcept {
  auto n = try_take_varint_u16(de);
  if (!n.ok()) return fail(n.error());
  return zigzag_decode(n.value());
}

inline Result<int64_t, WireError> try_take_zigzag_i64(Deserializer& de) noexcept {
  auto n = try_take_varint_u64(de);
  if (!n.ok()) return fail(n.error());
  return zigzag_decode(n.value());
}

// A variant index below `variant_count`. An out-of-range tag is
// SerdeDeCustom, the error the format gives for unknown variants.
inline Result<uint32_t, WireError> try_take_enum_tag(Deserializer& de,
                                                     uint32_t variant_count) noexcept {
  auto tag = try_take_varint_u32(de);
  if (!tag.ok()) return tag;
  if (tag.value() >= variant_count) return fail(WireError::SerdeDeCustom);
  return tag;
}

// Largest count reserved before any element is read: 1 MiB of 6-byte
// samples. A forged count must not reserve memory the input cannot fill.
inline constexpr uint64_t kMaxUpfrontElements = 174762;

// Reservation made up front for a sequence of `count` elements with
// `remaining` bytes left after the count.
constexpr size_t upfront_reservation(uint64_t count, size_t remaining) noexcept {
  return count <= remaining ? static_cast<size_t>(std::min(count, kMaxUpfrontElements)) : 0;
}

// Count (64-bit varint), then that many elements read by `read_element`.
// Elements decoded before a failure are released with the vector.
template <class T, class ReadElement>
Result<std::vector<T>, WireError> try_take_sequence(Deserializer& de, ReadElement&& read_element) {
  auto count = try_take_varint_u64(de);
  if (!count.ok()) return fail(count.error());
  const uint64_t n = count.value();

  std::vector<T> elements;
  elements.reserve(upfront_reservation(n, de.remaining()));
  for (uint64_t i = 0; i < n; ++i) {
    auto element = read_element(de);
    if (!element.ok()) return fail(element.error());
    if (elements.size() == elements.capacity()) {
      elements.reserve(std::max<size_t>(4, elements.capacity() * 2));
    }
    elements.push_back(std::move(element).value());
  }
  return elements;
}

}  // namespace vorlane::wire
