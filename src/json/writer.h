// Compact JSON writer: appends to one growing in-memory buffer.
//
// The writer is infallible: appending to memory cannot fail for any value
// this system writes (fixed names and integers), so no operation returns an
// error. Allocation failure surfaces as std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorlane::json {

class JsonWriter;
// Integers render through these; other values provide their own serialize.
inline void serialize(int16_t value, JsonWriter& writer);
inline void serialize(int64_t value, JsonWriter& writer);

class JsonWriter {
 public:
  static constexpr size_t kInitialCapacity = 128;

  JsonWriter() { buffer_.reserve(kInitialCapacity); }

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }

  // "," unless this is the first member, the key, ":"; the value follows.
  void write_key(std::string_view key) {
    separate();
    format_escaped_str(key);
    append(":", 1);
  }
  // "," unless this is the first element; the element follows.
  void begin_element() { separate(); }

  template <class V>
  void serialize_entry(std::string_view key, const V& value) {
    write_key(key);
    serialize(value, *this);
  }

  void format_escaped_str(std::string_view text);
  void write_i16(int16_t value);
  void write_i64(int64_t value);

  std::string_view text() const noexcept { return buffer_; }
  size_t capacity() const noexcept { return buffer_.capacity(); }
  std::string take() && { return std::move(buffer_); }

  void append(const char* data, size_t size) {
    if (buffer_.size() + size > buffer_.capacity()) grow(size);
    buffer_.append(data, size);
  }

 private:
  void open(char bracket) {
    append(&bracket, 1);
    // One bit per open container: set while its next item is the first.
    // Documents here nest six deep, far below the 64 bits available.
    first_ |= uint64_t{1} << ++depth_;
  }
  void close(char bracket) {
    first_ &= ~(uint64_t{1} << depth_--);
    append(&bracket, 1);
  }
  void separate() {
    const uint64_t bit = uint64_t{1} << depth_;
    if ((first_ & bit) != 0) {
      first_ &= ~bit;
    } else {
      append(",", 1);
    }
  }
  void grow(size_t extra);

  std::string buffer_;
  uint64_t first_ = 0;
  unsigned depth_ = 0;
};

inline void serialize(int16_t value, JsonWriter& writer) { writer.write_i16(value); }
inline void serialize(int64_t value, JsonWriter& writer) { writer.write_i64(value); }

}  // namespace vorlane::json
