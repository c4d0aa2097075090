// What the CPU offers, asked in one place.
//
// VORLANE_X86_64: an x86-64 target, so <immintrin.h> and the baseline
// (SSE2) intrinsics are there, with any compiler.
// VORLANE_X86_TARGETS: besides, a GNU-style compiler, so single functions
// can be built for wider instruction sets (target attributes) and chosen
// at run time; only code under this test uses them.
// VORLANE_AARCH64: an aarch64 target, where NEON is always there.
#pragma once

#if defined(__x86_64__) || defined(_M_X64)
#define VORLANE_X86_64 1
#else
#define VORLANE_X86_64 0
#endif

#if VORLANE_X86_64 && (defined(__GNUC__) || defined(__clang__))
#define VORLANE_X86_TARGETS 1
#else
#define VORLANE_X86_TARGETS 0
#endif

#if defined(__aarch64__) || defined(_M_ARM64)
#define VORLANE_AARCH64 1
#else
#define VORLANE_AARCH64 0
#endif

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorlane::cpu {

enum class Feature : uint8_t { Sse41, Avx2, Bmi2, Popcnt, Avx512Bw, Avx512Vbmi, Avx512Vbmi2, Neon };

inline constexpr unsigned kFeatureCount = 8;

// The features' names as messages and the build's options spell them.
inline constexpr std::string_view kFeatureNames[kFeatureCount] = {
    "sse4.1", "avx2", "bmi2", "popcnt", "avx512bw", "avx512vbmi", "avx512vbmi2", "neon"};

// A set of features: bit f is Feature f.
using FeatureSet = unsigned;

constexpr FeatureSet bit(Feature feature) noexcept {
  return FeatureSet{1} << static_cast<unsigned>(feature);
}

// The set a list of names separated by spaces spells, e.g. "avx2 popcnt".
// Where it is evaluated at compile time, an unknown name stops the build.
consteval FeatureSet feature_list(std::string_view list) {
  FeatureSet set = 0;
  while (!list.empty()) {
    const size_t space = list.find(' ');
    const std::string_view name = list.substr(0, space);
    list = space == std::string_view::npos ? std::string_view() : list.substr(space + 1);
    if (name.empty()) continue;
    unsigned f = 0;
    while (f < kFeatureCount && kFeatureNames[f] != name) ++f;
    if (f == kFeatureCount) throw "not a CPU feature";
    set |= FeatureSet{1} << f;
  }
  return set;
}

// Whether this CPU has `feature` and the build can use it (never without
// VORLANE_X86_TARGETS, or for Neon VORLANE_AARCH64). The answers are cached:
// the CPU does not change while the process runs.
bool has(Feature feature) noexcept;
// All of them as one set.
FeatureSet features() noexcept;

}  // namespace vorlane::cpu
