// A batch: whole input lines, and what decoding them gave. The tool reads
// input into batches, decodes each batch on its own (on any thread), and
// writes the batches out in input order.
//
// The tool's memory policy, all of it here:
// - Input is read in blocks of kBlockBytes, one batch each: large enough
//   that a batch costs one read and one write, small enough that a batch
//   and its documents (about four times as many bytes) stay near the cache.
// - A long line grows its batch's buffers by doubling (from kFirstBuffer),
//   or to just what it needs where the double cannot be had. After the
//   batch, a buffer above kKeptCapacity gives its memory back, as does the
//   reader's carry of a partial line above kKeptCarryBlocks blocks; the
//   document of a payload above kLongLine gives back its heap at once.
//   Ordinary batches stay below these and keep their memory.
// - Each batch holds room for kKeptFailures failures from the start, and
//   the reports of the failures at one place in the output room for four,
//   kReportRoom each besides the input's name, reserved once; a report of
//   one line (kReportLine bytes, written in pieces past that) and the
//   progress text are built on the stack. So reporting a failure, out of
//   memory included, allocates nothing.
// - Memory running out fails the line that needed it ("out of memory"),
//   or, where no line can take the blame, the batch; the tool goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "accel/errors.h"

namespace vorlane::cli {

inline constexpr size_t kBlockBytes = size_t{256} << 10;
inline constexpr size_t kFirstBuffer = 4096;
inline constexpr size_t kKeptCapacity = size_t{8} << 20;
inline constexpr size_t kKeptCarryBlocks = 4;
inline constexpr size_t kLongLine = size_t{64} << 10;
inline constexpr size_t kKeptFailures = 32;
inline constexpr size_t kReportRoom = 160;
inline constexpr size_t kReportLine = 1024;

// Bytes with a size and a capacity, grown by doubling; unlike a vector it
// leaves new room uninitialised, as it is written at once. Its memory is
// malloc's, so a long line's buffer grows in place (realloc moves the pages
// of a large block rather than copying them, and never holds both).
class Buffer {
 public:
  char* data() noexcept { return data_.get(); }
  const char* data() const noexcept { return data_.get(); }
  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  std::string_view view() const noexcept { return {data_.get(), size_}; }

  // Room for at least `n` bytes in all; keeps the contents. Grows by
  // doubling, or to just `n` where the doubled size cannot be had; throws
  // std::bad_alloc, keeping the buffer as it was, where neither can.
  void reserve(size_t n) {
    if (n <= capacity_) return;
    size_t grown = capacity_ < kFirstBuffer ? kFirstBuffer : capacity_;
    while (grown < n) grown *= 2;
    void* bigger = std::realloc(data_.get(), grown);
    if (bigger == nullptr) {
      grown = n;
      bigger = std::realloc(data_.get(), grown);
      if (bigger == nullptr) throw std::bad_alloc();
    }
    (void)data_.release();
    data_.reset(static_cast<char*>(bigger));
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
  // Gives back the room past the size (all of it for an empty buffer);
  // keeps it where realloc will not shrink.
  void shrink_to_fit() noexcept {
    if (size_ == 0) {
      release();
      return;
    }
    if (size_ == capacity_) return;
    if (void* smaller = std::realloc(data_.get(), size_)) {
      (void)data_.release();
      data_.reset(static_cast<char*>(smaller));
      capacity_ = size_;
    }
  }

 private:
  struct Free {
    void operator()(char* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<char, Free> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// A line that failed: where its report goes among the documents, its index
// in the batch (from 0, counting every line), and why.
struct LineFailure {
  enum class Kind : uint8_t {
    Parse,        // the error parse raises: `error`
    LeftOver,     // --strict: `left` bytes of the payload after its record
    OutOfMemory,  // the line or its document did not fit in memory
  };
  size_t out_offset;
  size_t line;
  Kind kind = Kind::Parse;
  accel::Error error{};
  size_t left = 0;
};


struct Batch {
  size_t input = 0;  // which input the lines come from
  Buffer in;         // whole lines, each ending in "\n" but perhaps the input's last
  // Bytes of one more line after `in` that memory could not hold (0: none);
  // it fails as out of memory.
  size_t dropped = 0;
  // Filled by decode_batch:
  Buffer out;  // the documents, each followed by "\n"
  std::vector<LineFailure> failures;
  size_t lines = 0;    // lines in `in`, empty ones included
  size_t decoded = 0;  // documents in `out`
  // Memory ran out where no line could take the blame (even a failure's
  // record could not be kept): the batch is lost.
  bool out_of_memory = false;
  // A document's text differed from its measure: a fault of the tool; the
  // batch's documents from that line on are missing.
  bool internal_error = false;
};

// Gives back the memory a long line made a batch's buffers grow to.
inline void trim(Batch& batch) noexcept {
  if (batch.in.capacity() > kKeptCapacity) batch.in.release();
  if (batch.out.capacity() > kKeptCapacity) batch.out.release();
}

}  // namespace vorlane::cli
