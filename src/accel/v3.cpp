#include "accel/v3.h"

#include "accel/settings.h"

namespace vorlane::accel::v3 {

static_assert(sizeof(AccelSample) == 6, "samples are packed triples of 16-bit values");

Result<AccelSample, wire::WireError> AccelSample::deserialize(wire::Deserializer& de) noexcept {
  return detail::deserialize_sample<AccelSample>(de);
}

Result<AccelDataPayload, wire::WireError> AccelDataPayload::deserialize(wire::Deserializer& de) {
  return detail::deserialize_settings_payload<AccelDataPayload>(de);
}

void serialize(AccelRange value, json::JsonWriter& w) { detail::write_enum(value, detail::kRangeNames, w); }
void serialize(AccelFreq value, json::JsonWriter& w) { detail::write_enum(value, detail::kFreqNames, w); }
void serialize(AccelNoise value, json::JsonWriter& w) { detail::write_enum(value, detail::kNoiseNames, w); }
void serialize(AccelAntialias value, json::JsonWriter& w) {
  detail::write_enum(value, detail::kAntialiasNames, w);
}
void serialize(const AccelSample& sample, json::JsonWriter& w) { detail::serialize_sample(sample, w); }
void serialize(const AccelDataPayload& payload, json::JsonWriter& w) {
  detail::serialize_settings_payload(payload, w);
}

}  // namespace vorlane::accel::v3
