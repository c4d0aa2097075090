#include "common/cpu_path.h"

#include <algorithm>
#include <cstring>

namespace vorlane::cpu {
namespace {

// Set by the build from VORLANE_CPU_PATH; absent for auto.
#ifdef VORLANE_FORCED_CPU_PATH
constexpr std::string_view kForcedName = VORLANE_FORCED_CPU_PATH;
#else
constexpr std::string_view kForcedName;
#endif
constexpr size_t kPathCount = sizeof kPaths / sizeof kPaths[0];

// Its row in kPaths, or kPathCount: none.
constexpr size_t forced_index() noexcept {
  for (size_t i = 0; i < kPathCount; ++i) {
    if (kPaths[i].name == kForcedName) return i;
  }
  return kPathCount;
}
constexpr size_t kForced = forced_index();
static_assert(kForcedName.empty() || kForced < kPathCount, "VORLANE_CPU_PATH names no known path");
static_assert(kForced == kPathCount || kPaths[kForced].on_target,
              "VORLANE_CPU_PATH names a path this target (or compiler) cannot build");

}  // namespace

const Path* forced_path() noexcept { return kForced < kPathCount ? &kPaths[kForced] : nullptr; }

Line& Line::operator<<(std::string_view part) noexcept {
  const size_t room = sizeof text - 1 - size;
  const size_t n = std::min(room, part.size());
  std::memcpy(text + size, part.data(), n);
  size += n;
  text[size] = '\0';
  return *this;
}

Line describe(FeatureSet set) noexcept {
  Line line;
  for (unsigned f = 0; f < kFeatureCount; ++f) {
    if ((set >> f & 1u) == 0) continue;
    if (line.size != 0) line << " ";
    line << kFeatureNames[f];
  }
  if (line.size == 0) line << "none";
  return line;
}

Line refusal(const Path& path, FeatureSet have) noexcept {
  Line line;
  if (runs(path, have)) return line;
  line << "built to take the CPU path '" << path.name << "', which ";
  if (!path.on_target) {
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

std::string_view name(Base64Kernel path) noexcept {
  switch (path) {
    case Base64Kernel::Portable:
      return "portable";
    case Base64Kernel::Sse41:
      return "sse4.1";
    case Base64Kernel::Avx2:
      return "avx2";
    case Base64Kernel::Avx512:
      return "avx512";
  }
  return "?";
}

std::string_view name(SampleKernel reader) noexcept {
  switch (reader) {
    case SampleKernel::Portable:
      return "portable";
    case SampleKernel::Bmi2:
      return "bmi2";
    case SampleKernel::Avx2:
      return "avx2";
    case SampleKernel::Avx512:
      return "avx512";
    case SampleKernel::Neon:
      return "neon";
  }
  return "?";
}

std::string_view name(WriterKernel writer) noexcept {
  switch (writer) {
    case WriterKernel::Scalar:
      return "scalar";
    case WriterKernel::Avx2:
      return "avx2";
    case WriterKernel::Avx512:
      return "avx512";
    case WriterKernel::Neon:
      return "neon";
  }
  return "?";
}

Line describe_choice(Base64Kernel base64, SampleKernel reader, WriterKernel writer) noexcept {
  Line line;
  const Path* forced = forced_path();
  line << "cpu path: built " << (forced == nullptr ? std::string_view("auto") : forced->name)
       << ", chosen ";
  const auto same = [&](const Path& path) {
    return path.base64 == base64 && path.reader == reader && path.writer == writer;
  };
  const Path* chosen = forced != nullptr && same(*forced) ? forced : nullptr;
  for (const Path& path : kPaths) {
    if (chosen == nullptr && path.on_target && same(path)) chosen = &path;
  }
  line << (chosen != nullptr ? chosen->name : std::string_view("none of the named paths"))
       << " (Base64 " << name(base64) << ", samples " << name(reader) << ", writer " << name(writer)
       << "); cpu: " << describe(features()).view();
  return line;
}

}  // namespace vorlane::cpu
