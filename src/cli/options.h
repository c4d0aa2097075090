// Command line of vorlane-decode.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace vorlane::cli {

struct Options {
  enum class Action : uint8_t { Decode, Help, Version };

  enum class ProgressMode : uint8_t { Auto, On, Off };

  Action action = Action::Decode;
  uint64_t payload_version = 0;
  unsigned jobs = 0;  // 0: one per CPU the process may run on
  ProgressMode progress = ProgressMode::Auto;
  // Fail a line whose record leaves bytes of its payload unread.
  bool strict = false;
  // Where the run's counts go as one JSON line at the end; empty: nowhere.
  std::string stats;
  // Inputs in order; "-" is standard input. Empty means standard input.
  std::vector<std::string> files;
};

// A usage error carries the text shown after "vorlane-decode: ".
struct UsageError {
  std::string message;
};

// Options are read left to right; --help or --version ends the reading at
// once, the first error ends it too.
Result<Options, UsageError> parse_options(int argc, const char* const* argv);

// Accepts decimal digits only, every value from 0 to 2^64 - 1: the tool
// passes any such number on, as parse does, and lets the decoder judge it.
bool parse_u64(std::string_view text, uint64_t& out);

// The most jobs -j takes.
constexpr unsigned kMaxJobs = 256;

// The jobs when -j is not given: the CPUs the process may run on (its
// affinity), else the CPUs online, at most kMaxJobs; 1 when neither count
// is known (0 or less).
unsigned default_jobs(long affinity, long online) noexcept;

extern const char kUsage[];

}  // namespace vorlane::cli
