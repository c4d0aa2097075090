#include "common/cpu.h"

namespace vorlane::cpu {
namespace {

// A test knob of the build (VORLANE_CPU_HIDE): features this build pretends
// the CPU lacks, so that one machine can see how a smaller one is served.
#ifndef VORLANE_CPU_HIDDEN
#define VORLANE_CPU_HIDDEN 0u
#endif
constexpr FeatureSet kHidden = VORLANE_CPU_HIDDEN;
static_assert(kHidden >> kFeatureCount == 0, "only known features are hidden");

#if VORLANE_X86_TARGETS
bool ask(Feature feature) noexcept {
  __builtin_cpu_init();
  switch (feature) {
    case Feature::Sse41:
      return __builtin_cpu_supports("sse4.1");
    case Feature::Avx2:
      return __builtin_cpu_supports("avx2");
    case Feature::Bmi2:
      return __builtin_cpu_supports("bmi2");
    case Feature::Popcnt:
      return __builtin_cpu_supports("popcnt");
    case Feature::Avx512Bw:
      return __builtin_cpu_supports("avx512bw");
    case Feature::Avx512Vbmi:
      return __builtin_cpu_supports("avx512vbmi");
    case Feature::Avx512Vbmi2:
      return __builtin_cpu_supports("avx512vbmi2");
    case Feature::Neon:
      return false;
  }
  return false;
}
#endif

static_assert(static_cast<unsigned>(Feature::Neon) + 1 == kFeatureCount, "every feature asked");

FeatureSet ask_all() noexcept {
  FeatureSet set = 0;
#if VORLANE_X86_TARGETS
  for (unsigned f = 0; f < kFeatureCount; ++f) {
    if (ask(static_cast<Feature>(f))) set |= FeatureSet{1} << f;
  }
#elif VORLANE_AARCH64
  set |= bit(Feature::Neon);
#endif
  return set & ~kHidden;
}

}  // namespace

FeatureSet features() noexcept {
  static const FeatureSet set = ask_all();
  return set;
}

bool has(Feature feature) noexcept {
  return (features() & bit(feature)) != 0;
}

}  // namespace vorlane::cpu
