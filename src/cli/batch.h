// A batch: whole input lines, and what decoding them gave. The tool reads
// input into batches, decodes each batch on its own (on any thread), and
// writes the batches out in input order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "accel/errors.h"

namespace vorlane::cli {

// Bytes with a size and a capacity, grown by doubling; unlike a vector it
// leaves new room uninitialised, as it is written at once.
class Buffer {
 public:
  char* data() noexcept { return data_.get(); }
  const char* data() const noexcept { return data_.get(); }
  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  std::string_view view() const noexcept { return {data_.get(), size_}; }

  // Room for at least `n` bytes in all; keeps the contents.
  void reserve(size_t n) {
    if (n <= capacity_) return;
    size_t grown = capacity_ < 4096 ? 4096 : capacity_;
    while (grown < n) grown *= 2;
    std::unique_ptr<char[]> bigger(new char[grown]);
    if (size_ != 0) std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = grown;
  }
  // The size after bytes were written past it (within the capacity).
  void set_size(size_t n) noexcept { size_ = n; }
  void clear() noexcept { size_ = 0; }
  void append(const char* p, size_t n) {
    reserve(size_ + n);
    if (n != 0) std::memcpy(data_.get() + size_, p, n);
    size_ += n;
  }
  // Gives the memory back (for a buffer that grew for one long line).
  void release() noexcept {
    data_.reset();
    size_ = capacity_ = 0;
  }

 private:
  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// A line that failed: where its report goes among the documents, its index
// in the batch (from 0, counting every line), and the error.
struct LineFailure {
  size_t out_offset;
  size_t line;
  accel::Error error;
};

struct Batch {
  size_t input = 0;  // which input the lines come from
  Buffer in;         // whole lines, each ending in "\n" but perhaps the input's last
  // Filled by decode_batch:
  Buffer out;  // the documents, each followed by "\n"
  std::vector<LineFailure> failures;
  size_t lines = 0;    // lines in `in`, empty ones included
  size_t decoded = 0;  // documents in `out`
  bool out_of_memory = false;
  // A document's text differed from its measure: a fault of the tool; the
  // batch's documents from that line on are missing.
  bool internal_error = false;
};

}  // namespace vorlane::cli
