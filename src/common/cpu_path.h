// The CPU paths: which Base64 kernel and which sample reader go together,
// what each needs of the CPU, and the one a build is forced to take
// (VORLANE_CPU_PATH), if any. Both choosers (base64::best_path and
// fused::best_sample_reader) ask forced_path() first.
#pragma once

#include <cstddef>
#include <string_view>

#include "base64/base64.h"
#include "common/cpu.h"
#include "fused/samples.h"

namespace vorlane::cpu {

struct Path {
  std::string_view name;
  FeatureSet needs;
  base64::Path base64;
  fused::SampleReader reader;
  bool on_target;  // whether this build's target has the path at all
};

// Adding a path is one row here and its name in CMakeLists.txt.
inline constexpr Path kPaths[] = {
    {"portable", 0, base64::Path::Portable, fused::SampleReader::Portable, true},
    {"bmi2", bit(Feature::Sse41) | bit(Feature::Avx2) | bit(Feature::Bmi2), base64::Path::Avx2,
     fused::SampleReader::Bmi2, VORLANE_X86_TARGETS != 0},
    // Its own reader is not there yet: the portable one stands in.
    {"avx2", bit(Feature::Sse41) | bit(Feature::Avx2) | bit(Feature::Popcnt), base64::Path::Avx2,
     fused::SampleReader::Portable, VORLANE_X86_TARGETS != 0},
    {"avx512",
     bit(Feature::Sse41) | bit(Feature::Bmi2) | bit(Feature::Popcnt) | bit(Feature::Avx512Bw) |
         bit(Feature::Avx512Vbmi) | bit(Feature::Avx512Vbmi2),
     base64::Path::Avx512, fused::SampleReader::Avx512, VORLANE_X86_TARGETS != 0},
    // No NEON kernels yet: the portable code, on aarch64 only.
    {"neon", bit(Feature::Neon), base64::Path::Portable, fused::SampleReader::Portable,
     VORLANE_AARCH64 != 0},
};

constexpr const Path* find_path(std::string_view name) noexcept {
  for (const Path& path : kPaths) {
    if (path.name == name) return &path;
  }
  return nullptr;
}

// The path this build always takes, or nullptr: chosen at run time (auto).
const Path* forced_path() noexcept;

// Whether a CPU with the features `have` runs `path`.
constexpr bool runs(const Path& path, FeatureSet have) noexcept {
  return path.on_target && (path.needs & ~have) == 0;
}

// One line of text, built without allocating.
struct Line {
  char text[400] = {};
  size_t size = 0;

  const char* c_str() const noexcept { return text; }
  std::string_view view() const noexcept { return {text, size}; }
  Line& operator<<(std::string_view part) noexcept;
};

// The features of `set` by name, e.g. "sse4.1 avx2 popcnt", or "none".
Line describe(FeatureSet set) noexcept;
// Why a CPU with the features `have` cannot run `path` (empty when it can).
Line refusal(const Path& path, FeatureSet have) noexcept;
// The same for the forced path and this CPU: what the module's import and
// the tool refuse to start with.
Line forced_path_refusal() noexcept;

std::string_view name(base64::Path path) noexcept;
std::string_view name(fused::SampleReader reader) noexcept;

// For messages: the path built, the kernels chosen (from the choosers) and
// this CPU's features, e.g. "cpu path: built auto, chosen avx512 (Base64
// avx512, samples avx512); cpu: sse4.1 avx2 ...".
Line describe_choice(base64::Path base64, fused::SampleReader reader) noexcept;

}  // namespace vorlane::cpu
