#include "accel/entry.h"

#include <memory>

#include "base64/base64.h"
#include "wire/deserializer.h"

namespace vorlane::accel {
namespace {

template <unsigned Index, class Record>
Result<AccelNCDataPayloadVersioned, Error> decode_record(const uint8_t* data, size_t size,
                                                         size_t* record_bytes) {
  wire::Deserializer de(data, data + size);
  auto record = Record::deserialize(de);
  if (!record.ok()) return fail(Error::postcard(record.error()));
  if (record_bytes != nullptr) *record_bytes = static_cast<size_t>(de.cursor() - data);
  return AccelNCDataPayloadVersioned{
      decltype(AccelNCDataPayloadVersioned::payload)(std::in_place_index<Index>,
                                                     std::move(record).value())};
}

// Small payloads (the common case) decode without touching the heap: the
// bytes of a text of up to 680 characters (about 170 samples). This is the
// reference decoder, which also allocates the record's samples; the fast
// path keeps more on the stack (fused::Document::kStackBytes).
constexpr size_t kStackBufferSize = 512;
static_assert(base64::decoded_capacity(680) <= kStackBufferSize &&
                  base64::decoded_capacity(684) > kStackBufferSize,
              "texts of up to 680 characters decode on the stack");

}  // namespace

Result<AccelNCDataPayloadVersioned, Error> decode_bytes(uint64_t version, const uint8_t* data,
                                                       size_t size, size_t* record_bytes) {
  switch (version) {
    case 1:
      return decode_record<0, v1::AccelDataPayload>(data, size, record_bytes);
    case 2:
      return decode_record<1, v2::AccelDataPayload>(data, size, record_bytes);
    case 3:
      return decode_record<2, v3::AccelDataPayload>(data, size, record_bytes);
    default:
      return fail(Error::version_not_supported(version));
  }
}

Result<AccelNCDataPayloadVersioned, Error> decode_b64(uint64_t version, std::string_view b64_data,
                                                      size_t* payload_bytes, size_t* record_bytes) {
  const size_t capacity = base64::decoded_capacity(b64_data.size());
  uint8_t stack_buffer[kStackBufferSize];
  std::unique_ptr<uint8_t[]> heap_buffer;
  uint8_t* buffer = stack_buffer;
  if (capacity > kStackBufferSize) {
    heap_buffer.reset(new uint8_t[capacity]);
    buffer = heap_buffer.get();
  }
  auto decoded = base64::decode_into(b64_data, buffer);
  if (!decoded.ok()) return fail(Error::base64(decoded.error()));
  if (payload_bytes != nullptr) *payload_bytes = decoded.value();
  return decode_bytes(version, buffer, decoded.value(), record_bytes);
}

}  // namespace vorlane::accel
