// Writes decoded batches out in input order: documents on standard output,
// each failure's report on standard error, in the order of the lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "cli/batch.h"

namespace vorlane::cli {

class Progress;

// Where the text goes: the two standard streams in the tool, memory in the
// fuzz target.
class Output {
 public:
  virtual ~Output() = default;
  // False if the bytes could not all be written; errno then tells why.
  virtual bool out(const char* data, size_t size) = 0;
  virtual void err(const char* data, size_t size) = 0;
};

// Standard output and standard error, written whole with write(2).
class StdOutput final : public Output {
 public:
  bool out(const char* data, size_t size) override;
  void err(const char* data, size_t size) override;
};

class Emitter {
 public:
  enum class Stop : uint8_t { None, Closed, WriteFailed, OutOfMemory, InternalError };

  // `names` name the inputs in reports, by Batch::input. Takes now all
  // the memory its reports will ever need: they are made when memory has
  // run out as much as at any other time.
  Emitter(Output& output, std::vector<std::string> names, Progress* progress = nullptr);

  // Writes the batch: documents up to each failure, then the failure's
  // report as NAME:LINE: Parsing failed: MESSAGE (or NAME:LINE: followed by
  // the tool's own words for a failure that is not parse's). False once
  // nothing more may be written (stop() tells why).
  bool emit(const Batch& batch);
  // A report of the tool's own ("vorlane-decode: " is put in front), made
  // of `parts`; it allocates nothing.
  void report(std::initializer_list<std::string_view> parts);
  void report(std::string_view text) { report({text}); }

  Stop stop() const noexcept { return stop_; }
  int write_error() const noexcept { return write_error_; }
  size_t decoded() const noexcept { return decoded_; }
  size_t failed() const noexcept { return failed_; }
  uint64_t bytes() const noexcept { return bytes_; }
  size_t lines() const noexcept { return lines_; }
  // Lines among failed() that memory could not hold.
  size_t out_of_memory() const noexcept { return out_of_memory_; }

 private:
  void err(std::string_view text);
  bool out(const char* data, size_t size);

  Output& output_;
  std::vector<std::string> names_;
  Progress* progress_;
  size_t input_ = SIZE_MAX;  // the input of the last batch
  size_t line_base_ = 0;     // its lines before that batch
  std::string text_;         // reports of one place among the documents
  Stop stop_ = Stop::None;
  int write_error_ = 0;
  size_t decoded_ = 0;
  size_t failed_ = 0;
  size_t lines_ = 0;
  size_t out_of_memory_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace vorlane::cli
