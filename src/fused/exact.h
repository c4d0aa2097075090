// The exact wire readers of the fast path: the wire primitives step for
// step (one byte at a time, the whole last byte compared with its limit),
// without the Result wrapper, for the head of a record and the samples the
// fast readers leave.
#pragma once

#include <cstdint>

#include "wire/deserializer.h"
#include "wire/wire_error.h"

namespace vorlane::fused {

using wire::WireError;

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

}  // namespace vorlane::fused
