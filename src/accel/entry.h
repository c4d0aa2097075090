// The one entry into payload decoding: Base64 text and a version number in,
// a decoded payload or an Error out.
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>

#include "accel/errors.h"
#include "accel/v1.h"
#include "accel/v2.h"
#include "accel/v3.h"
#include "common/result.h"

namespace vorlane::accel {

// V1, V2, V3 in that order; owns its record, holds nothing of the input.
struct AccelNCDataPayloadVersioned {
  std::variant<v1::AccelDataPayload, v2::AccelDataPayload, v3::AccelDataPayload> payload;

  // 1, 2 or 3.
  unsigned version() const noexcept { return static_cast<unsigned>(payload.index()) + 1; }
  friend bool operator==(const AccelNCDataPayloadVersioned&,
                         const AccelNCDataPayloadVersioned&) = default;
};

// Decodes the record of `version` from the bytes in place; bytes after the
// record are ignored. `record_bytes`, if given, is set to the bytes the
// record took when it decodes.
Result<AccelNCDataPayloadVersioned, Error> decode_bytes(uint64_t version, const uint8_t* data,
                                                       size_t size, size_t* record_bytes = nullptr);

// Base64 first, then the version: a bad text wins over a bad version.
// `payload_bytes` and `record_bytes`, if given, are set to the decoded
// bytes and those the record took, when it decodes.
Result<AccelNCDataPayloadVersioned, Error> decode_b64(uint64_t version, std::string_view b64_data,
                                                      size_t* payload_bytes = nullptr,
                                                      size_t* record_bytes = nullptr);

}  // namespace vorlane::accel
