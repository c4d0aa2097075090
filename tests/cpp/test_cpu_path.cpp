// The CPU paths: which CPU runs which, what a refusal says, and that the
// table agrees with the kernels' own checks.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "base64/base64.h"
#include "common/cpu_path.h"
#include "fused/document.h"
#include "fused/samples.h"

namespace vorlane::cpu {
namespace {

constexpr FeatureSet kHaswell = bit(Feature::Sse41) | bit(Feature::Avx2) | bit(Feature::Bmi2) |
                                bit(Feature::Popcnt);
constexpr FeatureSet kIceLake = kHaswell | bit(Feature::Avx512Bw) | bit(Feature::Avx512Vbmi) |
                                bit(Feature::Avx512Vbmi2);

struct Case {
  const char* path;
  FeatureSet have;
  bool on_x86;      // the answer on an x86-64 build; else on aarch64 it is "neon or portable"
  const char* lacks;  // what the refusal names as missing, when it refuses for lack of features
};

// Each row: a path and a CPU, and whether that CPU runs it (on x86-64).
constexpr Case kCases[] = {
    {"portable", 0, true, ""},
    {"portable", kIceLake, true, ""},
    {"avx2", kHaswell, true, ""},
    {"avx2", kHaswell & ~bit(Feature::Popcnt), false, "popcnt"},
    {"avx2", bit(Feature::Sse41), false, "avx2 popcnt"},
    {"bmi2", kHaswell, true, ""},
    {"bmi2", kHaswell & ~bit(Feature::Bmi2), false, "bmi2"},
    {"avx512", kIceLake, true, ""},
    {"avx512", kHaswell, false, "avx512bw avx512vbmi avx512vbmi2"},
    {"avx512", kIceLake & ~bit(Feature::Avx512Vbmi2), false, "avx512vbmi2"},
    {"avx512", kIceLake & ~bit(Feature::Bmi2), false, "bmi2"},
    {"neon", kIceLake, false, ""},
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.path << " on " << describe(c.have).view();
}

std::string row_name(const ::testing::TestParamInfo<Case>& info) {
  return std::to_string(info.index) + "_" + info.param.path;
}

class PathDecision : public ::testing::TestWithParam<Case> {};

TEST_P(PathDecision, RunsOrSaysWhy) {
  const Case& c = GetParam();
  const Path* path = find_path(c.path);
  ASSERT_NE(path, nullptr);
  const bool expected =
      VORLANE_X86_TARGETS ? c.on_x86 : (path->name == "portable" || (VORLANE_AARCH64 && path->name == "neon"));
  const FeatureSet have = VORLANE_AARCH64 ? c.have | bit(Feature::Neon) : c.have;
  EXPECT_EQ(runs(*path, have), expected);
  const std::string message(refusal(*path, have).view());
  if (expected) {
    EXPECT_EQ(message, "");
    return;
  }
  EXPECT_NE(message.find("'" + std::string(c.path) + "'"), std::string::npos) << message;
  EXPECT_NE(message.find("(this CPU has: " + std::string(describe(have).view()) + ")"),
            std::string::npos)
      << message;
  if (*c.lacks != '\0' && path->on_target) {
    EXPECT_NE(message.find("it lacks " + std::string(c.lacks) + " "), std::string::npos) << message;
  }
  EXPECT_EQ(message.find('\n'), std::string::npos) << "one line";
}

INSTANTIATE_TEST_SUITE_P(Table, PathDecision, ::testing::ValuesIn(kCases), row_name);

TEST(CpuPath, FeaturesByName) {
  EXPECT_EQ(describe(0).view(), "none");
  EXPECT_EQ(describe(kHaswell).view(), "sse4.1 avx2 bmi2 popcnt");
  EXPECT_EQ(describe(bit(Feature::Avx512Vbmi2) | bit(Feature::Neon)).view(), "avx512vbmi2 neon");
}

// A path this CPU runs by the table has kernels whose own checks agree, so
// that a forced build never takes a kernel the CPU lacks.
TEST(CpuPath, TableAgreesWithTheKernels) {
  for (const Path& path : kPaths) {
    if (!runs(path, features())) continue;
    EXPECT_TRUE(base64::path_supported(path.base64)) << path.name;
    // The BMI2 reader is chosen only where PEXT is fast, but runs wherever
    // BMI2 is there; the others' checks are exactly what they need.
    if (path.reader != fused::SampleReader::Bmi2) {
      EXPECT_TRUE(fused::sample_reader_supported(path.reader)) << path.name;
    } else {
      EXPECT_TRUE(has(Feature::Bmi2)) << path.name;
    }
    EXPECT_TRUE(fused::writer_supported(path.writer)) << path.name;
  }
}

// A forced build takes its path's kernels in both choosers; auto takes the
// same as the kernels' own checks pick.
TEST(CpuPath, ChoosersFollowTheBuild) {
  if (const Path* forced = forced_path()) {
    EXPECT_EQ(base64::best_path(), forced->base64);
    EXPECT_EQ(fused::best_sample_reader(), forced->reader);
    EXPECT_EQ(fused::best_writer(), forced->writer);
    EXPECT_TRUE(runs(*forced, features())) << forced_path_refusal().c_str();
  } else {
    EXPECT_EQ(forced_path_refusal().size, 0u);
    EXPECT_TRUE(base64::path_supported(base64::best_path()));
    EXPECT_TRUE(fused::sample_reader_supported(fused::best_sample_reader()));
    EXPECT_TRUE(fused::writer_supported(fused::best_writer()));
  }
  const std::string line(describe_choice(base64::best_path(), fused::best_sample_reader(), fused::best_writer()).view());
  EXPECT_EQ(line.rfind("cpu path: built ", 0), 0u) << line;
  EXPECT_NE(line.find("; cpu: " + std::string(describe(features()).view())), std::string::npos)
      << line;
}

// The differential tests skip the readers a CPU lacks: a target's own vector
// reader wrongly refused would leave them passing without it.
TEST(CpuPath, EachTargetRunsItsVectorReader) {
  EXPECT_EQ(fused::sample_reader_supported(fused::SampleReader::Neon),
            VORLANE_AARCH64 && has(Feature::Neon));
  EXPECT_EQ(fused::writer_supported(fused::Writer::Neon), VORLANE_AARCH64 && has(Feature::Neon));
  if (VORLANE_X86_TARGETS && has(Feature::Avx2) && has(Feature::Popcnt)) {
    EXPECT_TRUE(fused::sample_reader_supported(fused::SampleReader::Avx2));
  }
  if (forced_path() == nullptr && VORLANE_AARCH64 && has(Feature::Neon)) {
    EXPECT_EQ(fused::best_sample_reader(), fused::SampleReader::Neon);
    EXPECT_EQ(fused::best_writer(), fused::Writer::Neon);
  }
}

TEST(CpuPath, ChoiceNamesTheMatchingPath) {
  using fused::SampleReader;
  using fused::Writer;
  const std::string avx2(describe_choice(base64::Path::Avx2, SampleReader::Avx2, Writer::Avx2).view());
  const std::string neon(describe_choice(base64::Path::Portable, SampleReader::Neon, Writer::Neon).view());
  const std::string odd(describe_choice(base64::Path::Sse41, SampleReader::Portable, Writer::Scalar).view());
  // The kernels of a path but one: no path's name.
  const std::string mixed(describe_choice(base64::Path::Avx2, SampleReader::Avx2, Writer::Scalar).view());
  if (VORLANE_X86_TARGETS) {
    EXPECT_NE(avx2.find(", chosen avx2 (Base64 avx2, samples avx2, writer avx2)"), std::string::npos) << avx2;
  }
  if (VORLANE_AARCH64) {
    EXPECT_NE(neon.find(", chosen neon (Base64 portable, samples neon, writer neon)"), std::string::npos)
        << neon;
  }
  EXPECT_NE(odd.find(", chosen none of the named paths (Base64 sse4.1, samples portable, writer scalar)"),
            std::string::npos)
      << odd;
  EXPECT_NE(mixed.find(", chosen none of the named paths (Base64 avx2, samples avx2, writer scalar)"),
            std::string::npos)
      << mixed;
}

}  // namespace
}  // namespace vorlane::cpu
