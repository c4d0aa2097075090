// The CPU paths: auto takes the best row a CPU runs, a forced build its own
// row, and a refusal says why.
#include <gtest/gtest.h>

#include <string>

#include "common/cpu_path.h"
#include "cpu_paths.h"

namespace vorlane::cpu {
namespace {

std::string row_name(const ::testing::TestParamInfo<size_t>& info) {
  return std::string(paths()[info.param].name);
}

class EachRow : public ::testing::TestWithParam<size_t> {
 protected:
  const Path& path() const { return paths()[GetParam()]; }
};

// A CPU with exactly a row's features gets that row from auto: no row
// above it runs there, so none hides it (as a row of PEXT below avx2 once
// was). Every kernel of a row this build has is there.
TEST_P(EachRow, AutoTakesItOnACpuWithItsFeatures) {
  if (!on_target(path())) GTEST_SKIP() << "another target's path";
  EXPECT_EQ(&best_path(path().needs), &path());
  EXPECT_NE(path().base64, nullptr);
  EXPECT_NE(path().reader, nullptr);
  EXPECT_NE(path().writer, nullptr);
  EXPECT_NE(path().splitter, nullptr);
}

// Runs where every feature is there, refuses for each one missing, and the
// refusal names the path, the missing feature and what the CPU has.
TEST_P(EachRow, RunsOrSaysWhy) {
  const FeatureSet all = (FeatureSet{1} << kFeatureCount) - 1;
  EXPECT_EQ(runs(path(), all), on_target(path()));
  EXPECT_EQ(refusal(path(), all).empty(), on_target(path()));
  for (unsigned f = 0; f < kFeatureCount; ++f) {
    const FeatureSet lacking = all & ~(FeatureSet{1} << f);
    const bool needed = (path().needs >> f & 1u) != 0;
    const std::string message(refusal(path(), lacking).view());
    EXPECT_EQ(runs(path(), lacking), on_target(path()) && !needed) << kFeatureNames[f];
    if (runs(path(), lacking)) {
      EXPECT_EQ(message, "");
      continue;
    }
    const std::string named = "built to take the CPU path '" + std::string(path().name) + "', which ";
    EXPECT_EQ(message.rfind(named, 0), 0u) << message;
    if (on_target(path())) {
      EXPECT_NE(message.find("it lacks " + std::string(kFeatureNames[f]) + " (this CPU has: " +
                             std::string(describe(lacking).view()) + ")"),
                std::string::npos)
          << message;
    } else {
      EXPECT_NE(message.find("this build's target does not have"), std::string::npos) << message;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, EachRow, ::testing::Range<size_t>(0, paths().size()), row_name);

TEST(CpuPath, FeaturesByName) {
  EXPECT_EQ(describe(0).view(), "none");
  EXPECT_EQ(describe(feature_list("popcnt  sse4.1")).view(), "sse4.1 popcnt");
  EXPECT_EQ(describe(bit(Feature::Avx512Vbmi2) | bit(Feature::Neon)).view(), "avx512vbmi2 neon");
}

// Every CPU of this target lands in a row, the last one at worst.
TEST(CpuPath, EveryCpuHasARow) {
  EXPECT_TRUE(runs(best_path(0), 0));
  EXPECT_TRUE(runs(best_path(features()), features()));
}

// This build takes its forced row, or the best this CPU runs, in every
// stage, and says so.
TEST(CpuPath, ChosenPathIsTheBuildsOrTheBest) {
  const Path* forced = forced_path();
  EXPECT_EQ(&chosen_path(), forced != nullptr ? forced : &best_path(features()));
  if (forced != nullptr) {
    EXPECT_TRUE(runs(*forced, features())) << forced_path_refusal().c_str();
  } else {
    EXPECT_TRUE(forced_path_refusal().empty());
  }
  const std::string line(describe_choice().view());
  EXPECT_EQ(line, "cpu path: built " + std::string(forced != nullptr ? forced->name : "auto") +
                      ", chosen " + std::string(chosen_path().name) + "; cpu: " +
                      std::string(describe(features()).view()));
}

// The differential tests run the kernels of the rows this CPU runs: the
// target's own vector kernels must be among them where the CPU has them.
TEST(CpuPath, TheDifferentialTestsRunEveryRowThisCpuRuns) {
  size_t rows = 0;
  for (const Path& path : paths()) rows += runs(path, features()) ? 1 : 0;
  EXPECT_GE(rows, 1u);
  for (const Path& path : paths()) {
    if (!runs(path, features())) continue;
    bool reader = false, writer = false;
    for (const auto& k : testing::sample_readers()) reader = reader || k.kernel == path.reader;
    for (const auto& k : testing::writers()) writer = writer || k.kernel == path.writer;
    EXPECT_TRUE(reader && writer) << path.name;
  }
}

}  // namespace
}  // namespace vorlane::cpu
