#include "json/records.h"

#include <array>
#include <string_view>
#include <vector>

#include "accel/settings.h"

namespace vorlane::json {
namespace {

template <class Sample>
void write_sample(const Sample& s, JsonWriter& w) {
  w.begin_object();
  w.serialize_entry("x", s.x);
  w.serialize_entry("y", s.y);
  w.serialize_entry("z", s.z);
  w.end_object();
}

template <class Sample>
void write_samples(const std::vector<Sample>& samples, JsonWriter& w) {
  w.begin_array();
  for (const Sample& s : samples) {
    w.begin_element();
    write_sample(s, w);
  }
  w.end_array();
}

template <class Enum, size_t N>
void write_enum(Enum value, const std::array<std::string_view, N>& names, JsonWriter& w) {
  w.format_escaped_str(names[static_cast<size_t>(value)]);
}

// Versions 2 and 3 share the layout; the enums render through their own
// version's serialize (found by ADL).
template <class Payload>
void write_settings_payload(const Payload& p, JsonWriter& w) {
  w.begin_object();
  w.serialize_entry("range", p.range);
  w.serialize_entry("freq", p.freq);
  w.serialize_entry("noise", p.noise);
  w.serialize_entry("antialias", p.antialias);
  w.serialize_entry("acc_temp", p.acc_temp);
  w.write_key("samples");
  write_samples(p.samples, w);
  w.end_object();
}

}  // namespace
}  // namespace vorlane::json

namespace vorlane::accel::v1 {

void serialize(const AccelSample& sample, json::JsonWriter& w) { json::write_sample(sample, w); }

void serialize(const AccelDataPayload& payload, json::JsonWriter& w) {
  w.begin_object();
  w.serialize_entry("timestamp", payload.timestamp);
  w.serialize_entry("acc_temp", payload.acc_temp);
  w.write_key("samples");
  json::write_samples(payload.samples, w);
  w.end_object();
}

}  // namespace vorlane::accel::v1

#define VORLANE_SETTINGS_RECORD(ns)                                                             \
  namespace vorlane::accel::ns {                                                                \
  void serialize(AccelRange value, json::JsonWriter& w) {                                       \
    json::write_enum(value, detail::kRangeNames, w);                                            \
  }                                                                                             \
  void serialize(AccelFreq value, json::JsonWriter& w) {                                        \
    json::write_enum(value, detail::kFreqNames, w);                                             \
  }                                                                                             \
  void serialize(AccelNoise value, json::JsonWriter& w) {                                       \
    json::write_enum(value, detail::kNoiseNames, w);                                            \
  }                                                                                             \
  void serialize(AccelAntialias value, json::JsonWriter& w) {                                   \
    json::write_enum(value, detail::kAntialiasNames, w);                                        \
  }                                                                                             \
  void serialize(const AccelSample& sample, json::JsonWriter& w) { json::write_sample(sample, w); } \
  void serialize(const AccelDataPayload& payload, json::JsonWriter& w) {                        \
    json::write_settings_payload(payload, w);                                                   \
  }                                                                                             \
  }

VORLANE_SETTINGS_RECORD(v2)
VORLANE_SETTINGS_RECORD(v3)

#undef VORLANE_SETTINGS_RECORD
