#include "accel/v2.h"

#include "accel/settings.h"

namespace vorlane::accel::v2 {

static_assert(sizeof(AccelSample) == 6, "samples are packed triples of 16-bit values");

Result<AccelSample, wire::WireError> AccelSample::deserialize(wire::Deserializer& de) noexcept {
  return detail::deserialize_sample<AccelSample>(de);
}

Result<AccelDataPayload, wire::WireError> AccelDataPayload::deserialize(wire::Deserializer& de) {
  return detail::deserialize_settings_payload<AccelDataPayload>(de);
}

}  // namespace vorlane::accel::v2
