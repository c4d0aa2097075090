// The CPU paths: one table, best row first, of each path's name, the CPU
// features it needs and its kernels, the functions themselves. It is
// declared here, below every stage that asks it for a kernel, and defined
// in fused/cpu_path.cpp, the layer that sees every kernel.
// `auto` takes the first row this CPU runs; a build forced to a
// path (VORLANE_CPU_PATH) takes that row, and refuses to start where the
// CPU lacks its features. Every stage asks chosen_path() for its kernel.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/cpu.h"
#include "common/fixed_text.h"

namespace vorlane::wire {
enum class WireError : uint8_t;
}

// The kernels' types, named here, below the stages that define them.
namespace vorlane::base64 {
struct Kernel;  // base64.h
}
namespace vorlane::fused {
// A run's samples into their wire values (samples.h).
using SampleReader = bool (*)(const uint8_t* base, const uint8_t*& p, const uint8_t* end,
                              uint16_t* out, uint16_t* out_end, size_t& text,
                              wire::WireError& error) noexcept;
// A long run's samples into text (document.h).
using Writer = void (*)(char*& out, const char* end, const uint16_t*& s,
                        const uint16_t* s_last) noexcept;
// A run's wire values, x y z per sample, into three columns of signed
// values (samples.h).
using Splitter = void (*)(const uint16_t* wire, size_t count, int16_t* x, int16_t* y,
                          int16_t* z) noexcept;
}  // namespace vorlane::fused

namespace vorlane::cpu {

// The targets whose builds have a path's kernels.
enum class Target : uint8_t { Any, X86, Aarch64 };

struct Path {
  std::string_view name;
  Target target;
  FeatureSet needs;
  // Null where this build's target does not have the path.
  const base64::Kernel* base64;
  fused::SampleReader reader;
  fused::Writer writer;
  fused::Splitter splitter;
};

// The table, best row first; the last runs everywhere.
std::span<const Path> paths() noexcept;

// Whether this build's target has `path` at all.
bool on_target(const Path& path) noexcept;
// Whether a CPU with the features `have` runs `path`.
bool runs(const Path& path, FeatureSet have) noexcept;
// The first row a CPU with the features `have` runs: what auto takes there.
const Path& best_path(FeatureSet have) noexcept;
// The path this build always takes, or nullptr: chosen at run time (auto).
const Path* forced_path() noexcept;
namespace detail {
// The chosen row once known: set from the start in a forced build, at the
// first ask (the module's import) otherwise.
extern std::atomic<const Path*> g_chosen;
const Path& choose() noexcept;
}  // namespace detail

// The forced path, or the best this CPU runs. Inline and one load once
// chosen: every call of the module asks it.
inline const Path& chosen_path() noexcept {
  const Path* chosen = detail::g_chosen.load(std::memory_order_relaxed);
  return chosen != nullptr ? *chosen : detail::choose();
}

// One line of text, built without allocating.
using Line = FixedText<400>;

// The features of `set` by name, e.g. "sse4.1 popcnt", or "none".
Line describe(FeatureSet set) noexcept;
// Why a CPU with the features `have` cannot run `path` (empty when it can).
Line refusal(const Path& path, FeatureSet have) noexcept;
// The same for the forced path and this CPU: what the module's import and
// the tool refuse to start with.
Line forced_path_refusal() noexcept;

// For messages: the path built and the one taken here, and this CPU's
// features, e.g. "cpu path: built auto, chosen avx2; cpu: sse4.1 avx2 ...".
Line describe_choice() noexcept;

}  // namespace vorlane::cpu
