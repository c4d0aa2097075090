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

  Action action = Action::Decode;
  uint64_t payload_version = 0;
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

extern const char kUsage[];

}  // namespace vorlane::cli
