// The document of one payload, written straight into memory the caller
// allocates at its exact length (the binding: a one-byte-kind str; the
// command-line tool: its output buffer).
//
// This is the fast road through decode_b64 and to_json_text fused: the same
// Base64 decoding, the record's fields read with the same wire primitives,
// the samples read eight bytes at a time where enough bytes are left, and
// the text written from a table of value texts. For every input it gives
// exactly what to_json_text(decode_b64(...)) gives, or exactly the Error
// decode_b64 gives; the tests hold it to that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "accel/errors.h"
#include "common/result.h"
#include "fused/samples.h"

namespace vorlane::fused {

class Document {
 public:
  Document() noexcept {}
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  // Decodes `b64_data` as a record of `version`. Returns the exact length of
  // its document, or the Error that decode_b64 returns for the same input.
  // Memory exhaustion is std::bad_alloc.
  Result<size_t, accel::Error> prepare(uint64_t version, std::string_view b64_data);
  // The same with a chosen reader, which must be supported.
  Result<size_t, accel::Error> prepare(uint64_t version, std::string_view b64_data,
                                       SampleReader reader);

  // Writes the document prepared last: exactly the returned length of bytes.
  void write(char* out) const noexcept;

 private:
  // Small payloads (the common case) need no heap at all.
  static constexpr size_t kStackBytes = 768;
  static constexpr size_t kStackSamples = 128;

  // The run at `p`, in the decoded input [base, end), which has at least 64
  // readable bytes and padding after `end`.
  Result<size_t, accel::Error> decode_samples(const uint8_t* base, const uint8_t* p,
                                              const uint8_t* end, SampleReader reader);
  char* write_head(char* out) const noexcept;

  size_t length_ = 0;
  size_t count_ = 0;
  const uint16_t* samples_ = nullptr;  // count_ triples x, y, z as wire values
  std::unique_ptr<uint8_t[]> heap_bytes_;
  std::unique_ptr<uint16_t[]> heap_samples_;
  // The record's fields before its samples; the head of the document is
  // written from them (and only measured before that).
  uint64_t version_ = 0;
  int64_t timestamp_ = 0;
  uint16_t acc_temp_ = 0;  // the wire value
  uint8_t settings_ = 0;   // index of the four settings tags
  alignas(16) uint8_t stack_bytes_[kStackBytes];
  alignas(16) uint16_t stack_samples_[3 * kStackSamples];
};

}  // namespace vorlane::fused
