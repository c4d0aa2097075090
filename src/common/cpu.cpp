#include "common/cpu.h"

namespace vorlane::cpu {
namespace {

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
  }
  return false;
}
#endif

constexpr unsigned kFeatureCount = 7;
static_assert(static_cast<unsigned>(Feature::Avx512Vbmi2) + 1 == kFeatureCount, "every feature asked");

unsigned ask_all() noexcept {
  unsigned set = 0;
#if VORLANE_X86_TARGETS
  for (unsigned f = 0; f < kFeatureCount; ++f) {
    if (ask(static_cast<Feature>(f))) set |= 1u << f;
  }
#endif
  return set;
}

}  // namespace

bool has(Feature feature) noexcept {
  static const unsigned set = ask_all();
  return (set >> static_cast<unsigned>(feature) & 1u) != 0;
}

}  // namespace vorlane::cpu
