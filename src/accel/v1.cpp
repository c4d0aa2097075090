#include "accel/v1.h"

#include "accel/sample.h"

namespace vorlane::accel::v1 {

static_assert(sizeof(AccelSample) == 6, "samples are packed triples of 16-bit values");

Result<AccelSample, wire::WireError> AccelSample::deserialize(wire::Deserializer& de) noexcept {
  return detail::deserialize_sample<AccelSample>(de);
}

Result<AccelDataPayload, wire::WireError> AccelDataPayload::deserialize(wire::Deserializer& de) {
  auto timestamp = wire::try_take_zigzag_i64(de);
  if (!timestamp.ok()) return fail(timestamp.error());
  auto acc_temp = wire::try_take_zigzag_i16(de);
  if (!acc_temp.ok()) return fail(acc_temp.error());
  auto samples = detail::deserialize_samples<AccelSample>(de);
  if (!samples.ok()) return fail(samples.error());
  return AccelDataPayload{timestamp.value(), acc_temp.value(), std::move(samples).value()};
}

void serialize(const AccelSample& sample, json::JsonWriter& w) { detail::serialize_sample(sample, w); }

void serialize(const AccelDataPayload& payload, json::JsonWriter& w) {
  w.begin_object();
  w.serialize_entry("timestamp", payload.timestamp);
  w.serialize_entry("acc_temp", payload.acc_temp);
  w.write_key("samples");
  detail::serialize_samples(payload.samples, w);
  w.end_object();
}

}  // namespace vorlane::accel::v1
