// The progress line on standard error, and the closing summary.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorlane::cli {

class Output;

class Progress {
 public:
  // `total`: the input's size in bytes, 0 if it is not known. On a
  // terminal the line is redrawn in place; elsewhere each update is a line.
  Progress(Output& output, bool terminal, uint64_t total);

  // Shows the counts, at most a few times a second.
  void update(uint64_t bytes, size_t lines, size_t failed);
  // Takes a line drawn on a terminal away, before other text is written.
  void clear();
  // The closing summary: lines read (empty ones too), decoded, failed.
  void finish(size_t lines, size_t decoded, size_t failed, uint64_t bytes);

 private:
  using Clock = std::chrono::steady_clock;
  void write(std::string_view text);

  Output& output_;
  bool terminal_;
  uint64_t total_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point last_ = start_;
  bool drawn_ = false;
};

}  // namespace vorlane::cli
