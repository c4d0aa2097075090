// The records rendered as compact JSON: members in field order, enums as
// their variant names, samples as {"x":..,"y":..,"z":..}. The reference
// rendering the fast path is held to. Each serialize sits in its record's
// namespace, where the writer's serialize_entry finds it.
#pragma once

#include "accel/v1.h"
#include "accel/v2.h"
#include "accel/v3.h"
#include "json/writer.h"

namespace vorlane::accel::v1 {
void serialize(const AccelSample& sample, json::JsonWriter& w);
void serialize(const AccelDataPayload& payload, json::JsonWriter& w);
}  // namespace vorlane::accel::v1

namespace vorlane::accel::v2 {
void serialize(AccelRange value, json::JsonWriter& w);
void serialize(AccelFreq value, json::JsonWriter& w);
void serialize(AccelNoise value, json::JsonWriter& w);
void serialize(AccelAntialias value, json::JsonWriter& w);
void serialize(const AccelSample& sample, json::JsonWriter& w);
void serialize(const AccelDataPayload& payload, json::JsonWriter& w);
}  // namespace vorlane::accel::v2

namespace vorlane::accel::v3 {
void serialize(AccelRange value, json::JsonWriter& w);
void serialize(AccelFreq value, json::JsonWriter& w);
void serialize(AccelNoise value, json::JsonWriter& w);
void serialize(AccelAntialias value, json::JsonWriter& w);
void serialize(const AccelSample& sample, json::JsonWriter& w);
void serialize(const AccelDataPayload& payload, json::JsonWriter& w);
}  // namespace vorlane::accel::v3
