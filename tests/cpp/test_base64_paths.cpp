// Every Base64 block decoder this CPU supports, against the byte-by-byte
// reference: same bytes, same error, for every input.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "accel/errors.h"
#include "base64/base64.h"
#include "base64_reference.h"
#include "cpu_paths.h"
#include "debug_text.h"

using namespace vorlane::base64;
using vorlane::accel::debug_text;
using vorlane::testing::reference_decode_into;

namespace {

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The decoded bytes, or the error's debug text.
std::string outcome(const std::string& text, bool reference, const Kernel& kernel = kPortable) {
  std::vector<uint8_t> out(decoded_capacity(text.size()) + 1, 0xEE);
  const uint8_t guard = out.back();
  auto r = reference ? reference_decode_into(text, out.data()) : decode_into(text, out.data(), kernel);
  // Nothing is written past the capacity.
  EXPECT_EQ(out.back(), guard);
  if (!r.ok()) return "error " + debug_text(r.error());
  return "bytes " + std::string(out.begin(), out.begin() + static_cast<long>(r.value()));
}

// The same through decode_into_filled: the fill must follow the decoded
// bytes, and nothing may be written past filled_capacity().
std::string filled_outcome(const std::string& text, const Kernel& kernel) {
  constexpr uint8_t kFill = 0x80;
  std::vector<uint8_t> out(filled_capacity(text.size()) + 1, 0xEE);
  const uint8_t guard = out.back();
  auto r = decode_into_filled(text, out.data(), kFill, kernel);
  EXPECT_EQ(out.back(), guard);
  if (!r.ok()) return "error " + debug_text(r.error());
  const auto end = out.begin() + static_cast<long>(r.value());
  EXPECT_EQ(std::vector<uint8_t>(end, end + kFillBytes), std::vector<uint8_t>(kFillBytes, kFill))
      << "fill after " << r.value() << " bytes";
  return "bytes " + std::string(out.begin(), end);
}

std::string random_symbols(std::mt19937& rng, size_t n) {
  std::string s(n, 'A');
  for (auto& c : s) c = kAlphabet[rng() % 64];
  return s;
}

// A canonical text of `groups` whole groups plus a padded tail of `pads` (0-2).
std::string random_canonical(std::mt19937& rng, size_t groups, int pads) {
  std::string s = random_symbols(rng, groups * 4);
  if (pads == 1) {
    s += kAlphabet[rng() % 64];
    s += kAlphabet[rng() % 64];
    s += kAlphabet[(rng() % 16) * 4];  // no surplus bits
    s += '=';
  } else if (pads == 2) {
    s += kAlphabet[rng() % 64];
    s += kAlphabet[(rng() % 4) * 16];
    s += "==";
  }
  return s;
}

// A row of the table of CPU paths, by its place there.
const vorlane::cpu::Path& row(size_t index) { return vorlane::cpu::paths()[index]; }
std::string path_name(const ::testing::TestParamInfo<size_t>& info) {
  return std::string(row(info.param).name);
}

// Each row's kernel, where this CPU runs it and no row above has it too.
class Base64Paths : public ::testing::TestWithParam<size_t> {
 protected:
  void SetUp() override {
    for (const auto& k : vorlane::testing::base64_kernels()) {
      if (k.path == row(GetParam()).name) return;
    }
    GTEST_SKIP() << "this CPU lacks the instructions, or a row above has the kernel";
  }
  const Kernel& kernel() const { return *row(GetParam()).base64; }
  void expect_same(const std::string& text) {
    const std::string expected = outcome(text, true);
    ASSERT_EQ(outcome(text, false, kernel()), expected) << "length " << text.size();
    ASSERT_EQ(filled_outcome(text, kernel()), expected) << "filled, length " << text.size();
  }
  // `base` with each of its bytes replaced by every byte value in turn.
  void expect_same_for_every_byte_at_every_position(const std::string& base) {
    for (size_t pos = 0; pos < base.size(); ++pos) {
      for (int b = 0; b < 256; ++b) {
        std::string text = base;
        text[pos] = static_cast<char>(b);
        expect_same(text);
      }
    }
  }
};

TEST_P(Base64Paths, CanonicalTextsOfEveryLength) {
  std::mt19937 rng(7);
  for (size_t groups = 0; groups < 100; ++groups) {
    for (int pads = 0; pads <= 2; ++pads) {
      const std::string text = random_canonical(rng, groups, pads);
      expect_same(text);
      ASSERT_EQ(outcome(text, true).rfind("bytes", 0), 0u) << text;
    }
  }
  for (size_t groups : {1000u, 4099u}) expect_same(random_canonical(rng, groups, 1));
}

TEST_P(Base64Paths, EveryByteValueAtEveryPositionOfThreeBlocks) {
  // 200 body bytes cover three 64-byte blocks, six 32-byte and twelve
  // 16-byte blocks with all their boundaries, then the final group; each
  // way a text can end, as the last block (taken in one step where the
  // kernel can) ends in a final group of its own.
  std::mt19937 rng(11);
  for (int pads = 0; pads <= 2; ++pads) {
    expect_same_for_every_byte_at_every_position(random_canonical(rng, 50, pads));
  }
}

TEST_P(Base64Paths, EveryByteValueAtEveryPositionOfShortTexts) {
  // Texts of up to 64 bytes may be decoded whole in one step.
  std::mt19937 rng(23);
  for (size_t groups = 1; groups <= 16; ++groups) {
    for (int pads = 0; pads <= 2; ++pads) {
      expect_same_for_every_byte_at_every_position(
          random_canonical(rng, pads == 0 ? groups : groups - 1, pads));
    }
  }
}

TEST_P(Base64Paths, TwoBadBytesTheFirstWins) {
  std::mt19937 rng(13);
  const char bad[] = {'=', ' ', '\n', '-', '_', '\0', '\x80', '\xff', '.', '*'};
  for (int i = 0; i < 20000; ++i) {
    std::string text = random_canonical(rng, 1 + rng() % 80, static_cast<int>(rng() % 3));
    const size_t a = rng() % text.size();
    const size_t b = rng() % text.size();
    text[a] = bad[rng() % sizeof bad];
    text[b] = bad[rng() % sizeof bad];
    expect_same(text);
  }
}

TEST_P(Base64Paths, TextsCutAtEveryLength) {
  std::mt19937 rng(17);
  const std::string full = random_canonical(rng, 70, 2);
  for (size_t n = 0; n <= full.size(); ++n) expect_same(full.substr(0, n));
}

TEST_P(Base64Paths, RandomNearAlphabetNoise) {
  std::mt19937 rng(19);
  const std::string pool = kAlphabet + "=== \n\r\t-_.\x80\xc3\xa9";
  for (int i = 0; i < 20000; ++i) {
    std::string text(rng() % 300, 'A');
    for (auto& c : text) c = (rng() % 50 == 0) ? pool[rng() % pool.size()] : kAlphabet[rng() % 64];
    expect_same(text);
  }
}

INSTANTIATE_TEST_SUITE_P(All, Base64Paths,
                         ::testing::Range<size_t>(0, vorlane::cpu::paths().size()), path_name);

}  // namespace
