// The kernels of the CPU paths this CPU runs, for the tests, fuzz targets
// and benchmarks that run every one: each kernel once, named by the first
// row that takes it.
#pragma once

#include <string_view>
#include <vector>

#include "base64/base64.h"
#include "common/cpu_path.h"
#include "fused/document.h"
#include "fused/samples.h"

namespace vorlane::testing {

template <class Kernel>
struct RowKernel {
  std::string_view path;
  Kernel kernel;
};

// Each distinct kernel that `pick` takes from the rows this CPU runs.
template <class Pick>
auto kernels_this_cpu_runs(Pick pick) {
  std::vector<RowKernel<decltype(pick(cpu::paths()[0]))>> found;
  for (const cpu::Path& path : cpu::paths()) {
    if (!cpu::runs(path, cpu::features())) continue;
    const auto kernel = pick(path);
    bool seen = false;
    for (const auto& k : found) seen = seen || k.kernel == kernel;
    if (!seen) found.push_back({path.name, kernel});
  }
  return found;
}

inline auto base64_kernels() {
  return kernels_this_cpu_runs([](const cpu::Path& path) { return path.base64; });
}
// With the plain reader, which every reader ends with, whether or not a
// row takes it whole.
inline auto sample_readers() {
  auto found = kernels_this_cpu_runs([](const cpu::Path& path) { return path.reader; });
  bool plain = false;
  for (const auto& k : found) plain = plain || k.kernel == fused::read_samples_portable;
  if (!plain) found.push_back({"plain", fused::read_samples_portable});
  return found;
}
inline auto writers() {
  return kernels_this_cpu_runs([](const cpu::Path& path) { return path.writer; });
}

inline auto splitters() {
  return kernels_this_cpu_runs([](const cpu::Path& path) { return path.splitter; });
}

inline const cpu::Path* find_path(std::string_view name) {
  for (const cpu::Path& path : cpu::paths()) {
    if (path.name == name) return &path;
  }
  return nullptr;
}

}  // namespace vorlane::testing
