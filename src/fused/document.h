// The document of one payload, written straight into memory the caller
// allocates at its exact length (the binding: a one-byte-kind str; the
// command-line tool: its output buffer).
//
// This is the fast path through decode_b64 and to_json_text fused: the same
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
#include "fused/text.h"

namespace vorlane::fused {

// The sample writers, each of type Writer, paired with the rest of its path
// in the table of CPU paths; all write the same text. Each writes the
// samples of a long run from `s` up to but not including `s_last` (the
// last sample, left to the exact stores) while they surely fit before
// `end`, the first sample having been written, and leaves `out` and `s`
// where it stopped.
//
// Eight-byte stores from the value table (every target).
void long_run_scalar(char*& out, const char* end, const uint16_t*& s, const uint16_t* s_last) noexcept;
// One sample per 32-byte shuffle and store, the digits of 16 samples at a
// time worked out in vector registers (x86-64 AVX2).
void long_run_avx2(char*& out, const char* end, const uint16_t*& s, const uint16_t* s_last) noexcept;
// Two samples per 64-byte permute and compress (x86-64 AVX-512 VBMI2).
void long_run_avx512(char*& out, const char* end, const uint16_t*& s, const uint16_t* s_last) noexcept;
// One sample per two table lookups and two 16-byte stores (aarch64).
void long_run_neon(char*& out, const char* end, const uint16_t*& s, const uint16_t* s_last) noexcept;

class Document {
 public:
  // Small payloads (the common case) need no heap at all. The decoded
  // bytes of a text of up to 1012 characters (about 250 samples) stay on the
  // stack; the sample values of up to 128 samples (a usual device message
  // holds 32), in as many bytes again. Together 1.5 KiB of stack.
  static constexpr size_t kStackBytes = 768;
  static constexpr size_t kStackSamples = 128;

  Document() noexcept {}
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  // Decodes `b64_data` as a record of `version`. Returns the exact length of
  // its document, or the Error that decode_b64 returns for the same input.
  // Memory exhaustion is std::bad_alloc.
  Result<size_t, accel::Error> prepare(uint64_t version, std::string_view b64_data) {
    return prepare(version, b64_data, cpu::chosen_path());
  }
  // The same with a chosen reader, which this CPU must run.
  Result<size_t, accel::Error> prepare(uint64_t version, std::string_view b64_data,
                                       SampleReader reader) {
    return prepare(version, b64_data, *cpu::chosen_path().base64, reader);
  }
  // The same with the kernels of `path` (which this CPU must run), asked
  // for once by a caller that prepares and writes.
  Result<size_t, accel::Error> prepare(uint64_t version, std::string_view b64_data,
                                       const cpu::Path& path) {
    return prepare(version, b64_data, *path.base64, path.reader);
  }
  Result<size_t, accel::Error> prepare(uint64_t version, std::string_view b64_data,
                                       const base64::Kernel& kernel, SampleReader reader);

  // The length prepare returned last.
  size_t length() const noexcept { return length_; }
  // Of the payload prepared last, when it decoded: the bytes its record
  // took, and the bytes after the record, which decoding ignores.
  size_t record_bytes() const noexcept { return record_bytes_; }
  size_t bytes_left() const noexcept { return payload_bytes_ - record_bytes_; }
  // Of the payload prepared last, when it decoded: its fields before the
  // samples, and its samples as wire values (x, y, z each), for callers that
  // want the values rather than the text.
  const text::Head& head() const noexcept { return head_; }
  const uint16_t* samples() const noexcept { return samples_; }
  size_t sample_count() const noexcept { return count_; }

  // Gives back the heap memory a long payload took; the document prepared
  // last is gone with it and must be prepared again before a write.
  void release() noexcept {
    heap_bytes_.reset();
    heap_samples_.reset();
    samples_ = nullptr;
    count_ = 0;
    length_ = payload_bytes_ = record_bytes_ = 0;
  }

  // Writes the document prepared last into `out`, which has room for `room`
  // bytes, and returns where it stopped. It never stores past `out` plus
  // the smaller of `room` and length(); it ends at exactly `out` plus
  // length() when all is well. Anything else (the text and its measure
  // disagreeing, or too little room) is a fault of the caller or of this
  // code, which callers must report and not pass on.
  char* write(char* out, size_t room) const noexcept {
    return write(out, room, cpu::chosen_path().writer);
  }
  // The same with a chosen writer, which this CPU must run.
  char* write(char* out, size_t room, Writer writer) const noexcept;

 private:
  // The run at `p`, in the decoded input [base, end), which has at least 64
  // readable bytes and padding after `end`.
  Result<size_t, accel::Error> decode_samples(const uint8_t* base, const uint8_t* p,
                                              const uint8_t* end, SampleReader reader);

  size_t length_ = 0;
  size_t payload_bytes_ = 0;
  size_t record_bytes_ = 0;
  size_t count_ = 0;
  const uint16_t* samples_ = nullptr;  // count_ triples x, y, z as wire values
  std::unique_ptr<uint8_t[]> heap_bytes_;
  std::unique_ptr<uint16_t[]> heap_samples_;
  // The record's fields before its samples: the head is measured from them
  // in prepare and written from them in write, by one routine.
  text::Head head_;
  size_t head_length_ = 0;
  alignas(16) uint8_t stack_bytes_[kStackBytes];
  alignas(16) uint16_t stack_samples_[3 * kStackSamples];
};

}  // namespace vorlane::fused
