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

}  // namespace vorlane::accel::v1
