// The CPU paths: which Base64 kernel and which sample reader go together,
// what each needs of the CPU, and the one a build is forced to take
// (VORLANE_CPU_PATH), if any. Both choosers (base64::best_path and
// fused::best_sample_reader) ask forced_path() first.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/cpu.h"

namespace vorlane::cpu {

// The kernels of the two stages that have several, named here, below both
// stages, so that one table can pair them: base64::Path and
// fused::SampleReader are these.
enum class Base64Kernel : uint8_t {
  Portable,  // plain C++, four symbols at a time
  Sse41,     // 16 symbols per block
  Avx2,      // 32 symbols per block
  Avx512,    // 64 symbols per block (AVX-512 VBMI)
};
enum class SampleKernel : uint8_t {
  Portable,  // plain C++
  Bmi2,      // packs the 7-bit groups with one PEXT
  Avx512,    // thirty values per step with AVX-512 VBMI2, then as Bmi2
  Avx2,      // up to 63 values per 64-byte step with AVX2 alone, then as Portable
  Neon,      // up to 63 values per 64-byte step with NEON (aarch64), then as Portable
};
// How long sample runs are written (fused::Writer is this).
enum class WriterKernel : uint8_t {
  Scalar,  // eight-byte stores from the value table
  Avx2,    // one sample per 32-byte shuffle and store
  Avx512,  // two samples per 64-byte permute and compress (AVX-512 VBMI2)
  Neon,    // one sample per two table lookups and two 16-byte stores (aarch64)
};

struct Path {
  std::string_view name;
  FeatureSet needs;
  Base64Kernel base64;
  SampleKernel reader;
  WriterKernel writer;
  bool on_target;  // whether this build's target has the path at all
};

// Adding a path is one row here and its name in CMakeLists.txt.
inline constexpr Path kPaths[] = {
    {"portable", 0, Base64Kernel::Portable, SampleKernel::Portable,
     WriterKernel::Scalar, true},
    {"bmi2", bit(Feature::Sse41) | bit(Feature::Avx2) | bit(Feature::Bmi2), Base64Kernel::Avx2,
     SampleKernel::Bmi2, WriterKernel::Scalar, VORLANE_X86_TARGETS != 0},
    {"avx2", bit(Feature::Sse41) | bit(Feature::Avx2) | bit(Feature::Popcnt), Base64Kernel::Avx2,
     SampleKernel::Avx2, WriterKernel::Avx2, VORLANE_X86_TARGETS != 0},
    {"avx512",
     bit(Feature::Sse41) | bit(Feature::Avx2) | bit(Feature::Bmi2) | bit(Feature::Popcnt) |
         bit(Feature::Avx512Bw) |
         bit(Feature::Avx512Vbmi) | bit(Feature::Avx512Vbmi2),
     Base64Kernel::Avx512, SampleKernel::Avx512, WriterKernel::Avx512,
     VORLANE_X86_TARGETS != 0},
    // No NEON Base64 kernel yet: the portable one.
    {"neon", bit(Feature::Neon), Base64Kernel::Portable, SampleKernel::Neon,
     WriterKernel::Neon, VORLANE_AARCH64 != 0},
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

std::string_view name(Base64Kernel path) noexcept;
std::string_view name(SampleKernel reader) noexcept;
std::string_view name(WriterKernel writer) noexcept;

// For messages: the path built, the kernels chosen (from the choosers) and
// this CPU's features, e.g. "cpu path: built auto, chosen avx512 (Base64
// avx512, samples avx512, writer avx512); cpu: sse4.1 avx2 ...".
Line describe_choice(Base64Kernel base64, SampleKernel reader, WriterKernel writer) noexcept;

}  // namespace vorlane::cpu
