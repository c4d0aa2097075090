// The error value set of the postcard wire format. Only
// DeserializeUnexpectedEnd, DeserializeBadVarint and SerdeDeCustom ever arise
// here; the others keep the set complete so that names and indices match.
#pragma once

#include <cstdint>
#include <string_view>

namespace vorlane::wire {

enum class WireError : uint8_t {
  WontImplement,
  NotYetImplemented,
  SerializeBufferFull,
  SerializeSeqLengthUnknown,
  DeserializeUnexpectedEnd,   // the bytes end inside a value
  DeserializeBadVarint,       // the last byte a varint may use is too large
  DeserializeBadBool,
  DeserializeBadChar,
  DeserializeBadUtf8,
  DeserializeBadOption,
  DeserializeBadEnum,
  DeserializeBadEncoding,
  DeserializeBadCrc,
  SerdeSerCustom,
  SerdeDeCustom,              // an enum tag names no variant
  CollectStrError,
};

inline constexpr unsigned kWireErrorCount = 16;

std::string_view wire_error_name(WireError error) noexcept;

}  // namespace vorlane::wire
