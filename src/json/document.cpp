#include "json/document.h"

namespace vorlane::accel {

void serialize(const AccelNCDataPayloadVersioned& payload, json::JsonWriter& w) {
  static constexpr std::string_view kVariantNames[] = {"V1", "V2", "V3"};
  w.begin_object();
  std::visit([&](const auto& record) { w.serialize_entry(kVariantNames[payload.payload.index()], record); },
             payload.payload);
  w.end_object();
}

}  // namespace vorlane::accel

namespace vorlane::json {

void serialize(const NCDataPayload& payload, JsonWriter& w) {
  w.begin_object();
  w.serialize_entry("Accel", payload.accel);
  w.end_object();
}

std::string to_json_text(const NCDataPayload& payload) {
  JsonWriter writer;
  serialize(payload, writer);
  return std::move(writer).take();
}

}  // namespace vorlane::json
