// The sensor-settings record layout that versions 2 and 3 share: four enum
// tags, a temperature and a sample run. Each version declares its own types;
// these templates read any record with those members, so both
// versions stay distinct types with one implementation.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "accel/sample.h"

namespace vorlane::accel::detail {

// Variant names in tag order; the tag is the index. The names are the
// records' own (the enums' variants); the JSON writer and the fast path
// render them.
inline constexpr std::array<std::string_view, 3> kRangeNames = {"R2G", "R4G", "R8G"};
inline constexpr std::array<std::string_view, 6> kFreqNames = {
    "F12_5Hz", "F25Hz", "F50Hz", "F100Hz", "F200Hz", "F400Hz"};
inline constexpr std::array<std::string_view, 3> kNoiseNames = {"NormalNoise", "LowNoise",
                                                                "UltraLowNoise"};
inline constexpr std::array<std::string_view, 2> kAntialiasNames = {"HalfFreq", "QuarterFreq"};

template <class Enum, size_t N>
Result<Enum, wire::WireError> take_enum(wire::Deserializer& de,
                                        const std::array<std::string_view, N>&) noexcept {
  auto tag = wire::try_take_enum_tag(de, static_cast<uint32_t>(N));
  if (!tag.ok()) return fail(tag.error());
  return static_cast<Enum>(tag.value());
}

template <class Payload>
Result<Payload, wire::WireError> deserialize_settings_payload(wire::Deserializer& de) {
  Payload p{};
  // Each tag is judged right after it is read, before the next field.
  auto range = take_enum<decltype(p.range)>(de, kRangeNames);
  if (!range.ok()) return fail(range.error());
  auto freq = take_enum<decltype(p.freq)>(de, kFreqNames);
  if (!freq.ok()) return fail(freq.error());
  auto noise = take_enum<decltype(p.noise)>(de, kNoiseNames);
  if (!noise.ok()) return fail(noise.error());
  auto antialias = take_enum<decltype(p.antialias)>(de, kAntialiasNames);
  if (!antialias.ok()) return fail(antialias.error());
  auto acc_temp = wire::try_take_zigzag_i16(de);
  if (!acc_temp.ok()) return fail(acc_temp.error());
  using Sample = typename decltype(p.samples)::value_type;
  auto samples = deserialize_samples<Sample>(de);
  if (!samples.ok()) return fail(samples.error());

  p.range = range.value();
  p.freq = freq.value();
  p.noise = noise.value();
  p.antialias = antialias.value();
  p.acc_temp = acc_temp.value();
  p.samples = std::move(samples).value();
  return p;
}

}  // namespace vorlane::accel::detail
