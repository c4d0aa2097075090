// Version 1 payload: a timestamp, a temperature and a run of samples.
#pragma once

#include <cstdint>
#include <vector>

#include "common/result.h"
#include "wire/deserializer.h"

namespace vorlane::accel::v1 {

struct AccelSample {
  int16_t x;
  int16_t y;
  int16_t z;

  static Result<AccelSample, wire::WireError> deserialize(wire::Deserializer& de) noexcept;
  friend bool operator==(const AccelSample&, const AccelSample&) = default;
};

// Field order is the wire order (and the document's member order).
struct AccelDataPayload {
  int64_t timestamp;
  int16_t acc_temp;
  std::vector<AccelSample> samples;

  static Result<AccelDataPayload, wire::WireError> deserialize(wire::Deserializer& de);
  friend bool operator==(const AccelDataPayload&, const AccelDataPayload&) = default;
};

}  // namespace vorlane::accel::v1
