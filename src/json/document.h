// The output document: {"Accel":{"V<n>":<record>}} in compact JSON.
#pragma once

#include <string>

#include "accel/entry.h"
#include "json/records.h"
#include "json/writer.h"

namespace vorlane::json {

// The top-level value; its one variant is Accel.
struct NCDataPayload {
  accel::AccelNCDataPayloadVersioned accel;
};

void serialize(const NCDataPayload& payload, JsonWriter& w);

// The whole document. Writing to memory cannot fail, so there is no error
// side; allocation failure surfaces as std::bad_alloc.
std::string to_json_text(const NCDataPayload& payload);

}  // namespace vorlane::json

namespace vorlane::accel {
// {"V<n>":<record>}
void serialize(const AccelNCDataPayloadVersioned& payload, json::JsonWriter& w);
}  // namespace vorlane::accel
