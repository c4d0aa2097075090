// What the CPU offers, asked in one place.
//
// VORLANE_X86_64: an x86-64 target, so <immintrin.h> and the baseline
// (SSE2) intrinsics are there, with any compiler.
// VORLANE_X86_TARGETS: besides, a GNU-style compiler, so single functions
// can be built for wider instruction sets (target attributes) and chosen
// at run time; only code under this test uses them.
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

#include <cstdint>

namespace vorlane::cpu {

enum class Feature : uint8_t { Sse41, Avx2, Bmi2, Popcnt, Avx512Bw, Avx512Vbmi, Avx512Vbmi2 };

// Whether this CPU has `feature` and the build can use it (never without
// VORLANE_X86_TARGETS). The answers are cached: the CPU does not change
// while the process runs.
bool has(Feature feature) noexcept;

}  // namespace vorlane::cpu
