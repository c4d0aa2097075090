#include "wire/wire_error.h"

#include <array>

namespace vorlane::wire {

namespace {
constexpr std::array<std::string_view, kWireErrorCount> kNames = {
    "WontImplement",          "NotYetImplemented",      "SerializeBufferFull",
    "SerializeSeqLengthUnknown", "DeserializeUnexpectedEnd", "DeserializeBadVarint",
    "DeserializeBadBool",     "DeserializeBadChar",     "DeserializeBadUtf8",
    "DeserializeBadOption",   "DeserializeBadEnum",     "DeserializeBadEncoding",
    "DeserializeBadCrc",      "SerdeSerCustom",         "SerdeDeCustom",
    "CollectStrError",
};
}  // namespace

std::string_view wire_error_name(WireError error) noexcept {
  const auto index = static_cast<size_t>(error);
  return index < kNames.size() ? kNames[index] : std::string_view{};
}

}  // namespace vorlane::wire
