// Reading of the three-axis sample and the sample run, shared
// by every payload version. Each version keeps its own sample type; these
// templates only need the members x, y, z.
#pragma once

#include <cstdint>
#include <vector>

#include "common/result.h"
#include "wire/deserializer.h"

namespace vorlane::accel::detail {

template <class Sample>
Result<Sample, wire::WireError> deserialize_sample(wire::Deserializer& de) noexcept {
  auto x = wire::try_take_zigzag_i16(de);
  if (!x.ok()) return fail(x.error());
  auto y = wire::try_take_zigzag_i16(de);
  if (!y.ok()) return fail(y.error());
  auto z = wire::try_take_zigzag_i16(de);
  if (!z.ok()) return fail(z.error());
  return Sample{x.value(), y.value(), z.value()};
}

template <class Sample>
Result<std::vector<Sample>, wire::WireError> deserialize_samples(wire::Deserializer& de) {
  return wire::try_take_sequence<Sample>(de, deserialize_sample<Sample>);
}

}  // namespace vorlane::accel::detail
