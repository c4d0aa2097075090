#include "common/cpu_path.h"

#include "base64/base64.h"
#include "fused/document.h"
#include "fused/samples.h"

namespace vorlane::cpu {
namespace {

// Kernels of another target's path are not built.
#if VORLANE_X86_TARGETS
#define VORLANE_ON_X86(kernel) kernel
#else
#define VORLANE_ON_X86(kernel) nullptr
#endif
#if VORLANE_AARCH64
#define VORLANE_ON_AARCH64(kernel) kernel
#else
#define VORLANE_ON_AARCH64(kernel) nullptr
#endif

// The paths, best first. A row's features are all that its kernels use;
// each row needs something that every row above it does not, so that auto
// can take each (the tests hold the table to that). One row to a line up to
// its features: the build reads the names and targets from here.
//
// avx512's reader takes PEXT for what its vector steps leave: one fast
// instruction on every CPU with AVX-512 VBMI, slow microcode on some
// earlier ones with BMI2. No CPU without AVX2 has SSE4.1 and fast PEXT, so
// PEXT earns no path of its own below avx2.
constexpr Path kPaths[] = {
    {"avx512", Target::X86, feature_list("sse4.1 avx2 bmi2 popcnt avx512bw avx512vbmi avx512vbmi2"),
     VORLANE_ON_X86(&base64::kAvx512), VORLANE_ON_X86(fused::read_samples_avx512),
     VORLANE_ON_X86(fused::long_run_avx512), VORLANE_ON_X86(fused::split_samples_avx512)},
    {"avx2", Target::X86, feature_list("sse4.1 avx2 popcnt"),
     VORLANE_ON_X86(&base64::kAvx2), VORLANE_ON_X86(fused::read_samples_avx2),
     VORLANE_ON_X86(fused::long_run_avx2), VORLANE_ON_X86(fused::split_samples_ssse3)},
    {"sse41", Target::X86, feature_list("sse4.1"),
     VORLANE_ON_X86(&base64::kSse41), fused::read_samples_swar, fused::long_run_scalar,
     VORLANE_ON_X86(fused::split_samples_ssse3)},
    // No NEON Base64 kernel yet: the portable one.
    {"neon", Target::Aarch64, feature_list("neon"),
     &base64::kPortable, VORLANE_ON_AARCH64(fused::read_samples_neon),
     VORLANE_ON_AARCH64(fused::long_run_neon), VORLANE_ON_AARCH64(fused::split_samples_neon)},
    {"portable", Target::Any, feature_list(""),
     &base64::kPortable, fused::read_samples_swar, fused::long_run_scalar,
     fused::split_samples_portable},
};
constexpr size_t kPathCount = std::size(kPaths);

constexpr bool built_for(Target target) noexcept {
  return target == Target::Any || (target == Target::X86 && VORLANE_X86_TARGETS != 0) ||
         (target == Target::Aarch64 && VORLANE_AARCH64 != 0);
}
static_assert(kPaths[kPathCount - 1].target == Target::Any && kPaths[kPathCount - 1].needs == 0,
              "the last row runs everywhere");

// Set by the build from VORLANE_CPU_PATH; absent for auto.
#ifdef VORLANE_FORCED_CPU_PATH
constexpr std::string_view kForcedName = VORLANE_FORCED_CPU_PATH;
#else
constexpr std::string_view kForcedName;
#endif

// Its row in kPaths, or kPathCount: none.
constexpr size_t forced_index() noexcept {
  for (size_t i = 0; i < kPathCount; ++i) {
    if (kPaths[i].name == kForcedName) return i;
  }
  return kPathCount;
}
constexpr size_t kForced = forced_index();
static_assert(kForcedName.empty() || kForced < kPathCount, "VORLANE_CPU_PATH names no known path");
static_assert(kForced == kPathCount || built_for(kPaths[kForced].target),
              "VORLANE_CPU_PATH names a path this target (or compiler) cannot build");

}  // namespace

std::span<const Path> paths() noexcept { return kPaths; }

bool on_target(const Path& path) noexcept { return built_for(path.target); }

bool runs(const Path& path, FeatureSet have) noexcept {
  return on_target(path) && (path.needs & ~have) == 0;
}

const Path& best_path(FeatureSet have) noexcept {
  for (const Path& path : kPaths) {
    if (runs(path, have)) return path;
  }
  return kPaths[kPathCount - 1];
}

const Path* forced_path() noexcept { return kForced < kPathCount ? &kPaths[kForced] : nullptr; }

namespace detail {
constinit std::atomic<const Path*> g_chosen{kForced < kPathCount ? &kPaths[kForced] : nullptr};

const Path& choose() noexcept {
  // The CPU does not change while the process runs: threads that race here
  // store the same row.
  const Path& best = best_path(features());
  g_chosen.store(&best, std::memory_order_relaxed);
  return best;
}
}  // namespace detail

Line describe(FeatureSet set) noexcept {
  Line line;
  for (unsigned f = 0; f < kFeatureCount; ++f) {
    if ((set >> f & 1u) == 0) continue;
    if (!line.empty()) line << " ";
    line << kFeatureNames[f];
  }
  if (line.empty()) line << "none";
  return line;
}

Line refusal(const Path& path, FeatureSet have) noexcept {
  Line line;
  if (runs(path, have)) return line;
  line << "built to take the CPU path '" << path.name << "', which ";
  if (!on_target(path)) {
    line << "this build's target does not have";
  } else {
    line << "this CPU cannot run: it lacks " << describe(path.needs & ~have).view();
  }
  line << " (this CPU has: " << describe(have).view() << ")";
  return line;
}

Line forced_path_refusal() noexcept {
  const Path* forced = forced_path();
  return forced == nullptr ? Line{} : refusal(*forced, features());
}

Line describe_choice() noexcept {
  Line line;
  const Path* forced = forced_path();
  line << "cpu path: built " << (forced == nullptr ? std::string_view("auto") : forced->name)
       << ", chosen " << chosen_path().name << "; cpu: " << describe(features()).view();
  return line;
}

}  // namespace vorlane::cpu
