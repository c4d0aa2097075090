// Cuts an input into batches of whole lines, read in large blocks.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "cli/batch.h"

namespace vorlane::cli {

// Where the bytes come from: a file descriptor in the tool, memory in the
// fuzz target.
class Source {
 public:
  virtual ~Source() = default;
  // As read(2): bytes read, 0 at the end, -1 with errno set.
  virtual ssize_t read(char* buffer, size_t size) = 0;
  // Whether more bytes can be read now without waiting.
  virtual bool ready() = 0;
};

class BlockReader {
 public:
  // Batches hold about `block` bytes; a longer line makes its batch longer.
  BlockReader(Source& source, size_t block) : source_(source), block_(block) {}

  // Fills `in` with the next whole lines: a block's worth, or fewer when
  // the source has no more bytes ready (so slow input is not held back),
  // the last line of the input with or without its "\n". False when
  // nothing is left, or when a read failed (error() then tells; the lines
  // read whole before the failure come first, a line it cut short never).
  // A line too long for the memory left ends the batch: see dropped().
  bool next(Buffer& in);

  // errno of the read that failed, 0 if none did.
  int error() const noexcept { return error_; }

  // After next(): the bytes of a line after those it gave that memory could
  // not hold (read past, up to and with its "\n"), 0 if there was none.
  size_t dropped() const noexcept { return dropped_; }

 private:
  bool fill(Buffer& in);
  bool drop_line(Buffer& in);

  Source& source_;
  size_t block_;
  Buffer carry_;  // the start of a line the last batch did not hold
  bool end_ = false;
  int error_ = 0;
  size_t dropped_ = 0;
};

// A file descriptor as a Source.
class FdSource final : public Source {
 public:
  explicit FdSource(int fd);
  ssize_t read(char* buffer, size_t size) override;
  bool ready() override;

 private:
  int fd_;
  bool always_ready_;  // a regular file never makes a read wait
};

}  // namespace vorlane::cli
