// Version 3 payload: sensor settings, a temperature and a run of samples.
#pragma once

#include <cstdint>
#include <vector>

#include "common/result.h"
#include "wire/deserializer.h"

namespace vorlane::accel::v3 {

// Each held in one byte whose value is the wire tag.
enum class AccelRange : uint8_t { R2G, R4G, R8G };
enum class AccelFreq : uint8_t { F12_5Hz, F25Hz, F50Hz, F100Hz, F200Hz, F400Hz };
enum class AccelNoise : uint8_t { NormalNoise, LowNoise, UltraLowNoise };
enum class AccelAntialias : uint8_t { HalfFreq, QuarterFreq };

struct AccelSample {
  int16_t x;
  int16_t y;
  int16_t z;

  static Result<AccelSample, wire::WireError> deserialize(wire::Deserializer& de) noexcept;
  friend bool operator==(const AccelSample&, const AccelSample&) = default;
};

// Field order is the wire order (and the document's member order).
struct AccelDataPayload {
  AccelRange range;
  AccelFreq freq;
  AccelNoise noise;
  AccelAntialias antialias;
  int16_t acc_temp;
  std::vector<AccelSample> samples;

  static Result<AccelDataPayload, wire::WireError> deserialize(wire::Deserializer& de);
  friend bool operator==(const AccelDataPayload&, const AccelDataPayload&) = default;
};

}  // namespace vorlane::accel::v3
