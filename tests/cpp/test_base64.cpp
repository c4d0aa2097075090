#include <gtest/gtest.h>

#include <random>
#include <ostream>
#include <string>
#include <vector>

#include "accel/errors.h"
#include "base64/base64.h"
#include "base64_reference.h"
#include "encode.h"
#include "debug_text.h"

using vorlane::accel::debug_text;
using vorlane::testing::base64_decode;
using vorlane::base64::decoded_capacity;

namespace {

struct Case {
  std::string text;
  std::vector<uint8_t> bytes;  // expected output when `error` is empty
  std::string error;
};

std::string show(const std::string& s) {
  std::string out;
  static const char* hex = "0123456789abcdef";
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

void PrintTo(const Case& c, std::ostream* os) { *os << '"' << show(c.text) << '"'; }

class Base64Table : public ::testing::TestWithParam<Case> {};

TEST_P(Base64Table, DecodesOrNamesTheFault) {
  const Case& c = GetParam();
  auto result = base64_decode(c.text);
  if (c.error.empty()) {
    ASSERT_TRUE(result.ok()) << show(c.text) << " -> " << debug_text(result.error());
    std::vector<uint8_t> got(result.value().data.get(), result.value().data.get() + result.value().size);
    EXPECT_EQ(got, c.bytes) << show(c.text);
  } else {
    ASSERT_FALSE(result.ok()) << show(c.text);
    EXPECT_EQ(debug_text(result.error()), c.error) << show(c.text);
  }
}

std::string with_stars(std::vector<size_t> offsets) {
  std::string text(44, 'Q');
  for (size_t o : offsets) text[o] = '*';
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Canonical, Base64Table,
    ::testing::Values(
        Case{"", {}, ""}, Case{"QQ==", {0x41}, ""}, Case{"QUI=", {0x41, 0x42}, ""},
        Case{"QUJD", {0x41, 0x42, 0x43}, ""}, Case{"QUJDQQ==", {0x41, 0x42, 0x43, 0x41}, ""},
        Case{"AQMBATICAQTQDwDXBP//Aw==",
             {0x01, 0x03, 0x01, 0x01, 0x32, 0x02, 0x01, 0x04, 0xd0, 0x0f, 0x00, 0xd7, 0x04, 0xff, 0xff, 0x03},
             ""},
        Case{"+/+/", {0xfb, 0xff, 0xbf}, ""},
        Case{"QQ", {}, "InvalidPadding"}, Case{"QUI", {}, "InvalidPadding"},
        Case{"QQ=", {}, "InvalidPadding"}, Case{"QUJDQQ=", {}, "InvalidPadding"},
        Case{"A", {}, "InvalidLength(1)"}, Case{"QUJDR", {}, "InvalidLength(5)"},
        Case{"QUJD=", {}, "InvalidByte(4, 61)"}, Case{"QUJD\n", {}, "InvalidByte(4, 10)"},
        Case{"QUJD\r\n", {}, "InvalidByte(4, 13)"}, Case{"Q!JD\n", {}, "InvalidByte(4, 10)"},
        Case{"Q!JDQUJD", {}, "InvalidByte(1, 33)"}, Case{"QUJD QUJD", {}, "InvalidByte(4, 32)"},
        Case{with_stars({20, 33}), {}, "InvalidByte(20, 42)"},
        Case{with_stars({33}), {}, "InvalidByte(33, 42)"},
        Case{"QQ==QUJD", {}, "InvalidByte(2, 61)"}, Case{"====", {}, "InvalidByte(0, 61)"},
        Case{"Q===", {}, "InvalidByte(1, 61)"}, Case{"QQ=A", {}, "InvalidByte(2, 61)"},
        Case{"QQ=!", {}, "InvalidByte(2, 61)"}, Case{"QU!=", {}, "InvalidByte(2, 33)"},
        Case{"QUJ-", {}, "InvalidByte(3, 45)"}, Case{"QUJ_", {}, "InvalidByte(3, 95)"},
        Case{"QR==", {}, "InvalidLastSymbol(1, 82)"}, Case{"Zm9=", {}, "InvalidLastSymbol(2, 57)"},
        Case{"QUJ\xc3\xa9", {}, "InvalidByte(4, 169)"}, Case{"QUJD\xc3\xa9", {}, "InvalidByte(4, 195)"},
        // A lone trailing '=' passes the first check and is refused in the group.
        Case{"=", {}, "InvalidByte(0, 61)"}, Case{"QUJDQ", {}, "InvalidLength(5)"},
        // Unpadded stray bits report the padding, not the bits.
        Case{"QR", {}, "InvalidPadding"}),
    [](const ::testing::TestParamInfo<Case>& info) {
      // InvalidByte_13: the expected outcome's name and the row.
      const std::string& e = info.param.error;
      return (e.empty() ? std::string("Decodes") : e.substr(0, e.find('('))) + "_" + std::to_string(info.index);
    });


TEST(Base64, RoundTripsRandomBytesOfEveryLengthUpTo300) {
  std::mt19937 rng(1234);
  for (size_t n = 0; n <= 300; ++n) {
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    const std::string text = vorlane::testing::encode_base64(bytes);
    auto result = base64_decode(text);
    ASSERT_TRUE(result.ok()) << n;
    ASSERT_EQ(result.value().size, n);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), result.value().data.get())) << n;
    EXPECT_LE(result.value().size, decoded_capacity(text.size()));
  }
}

TEST(Base64, EveryNonAlphabetByteInTheBodyIsReportedAtItsOffset) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int b = 0; b < 256; ++b) {
    if (alphabet.find(static_cast<char>(b)) != std::string::npos) continue;
    for (size_t offset : {0u, 5u, 31u, 32u, 63u}) {
      std::string text(68, 'A');
      text[offset] = static_cast<char>(b);
      auto result = base64_decode(text);
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(debug_text(result.error()),
                "InvalidByte(" + std::to_string(offset) + ", " + std::to_string(b) + ")");
    }
  }
}

TEST(Base64, CapacityIsTheRoundedUpGroupCount) {
  for (size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 8u, 9u, 1001u}) {
    EXPECT_EQ(decoded_capacity(n), (n + 3) / 4 * 3) << n;
  }
  EXPECT_GE(decoded_capacity(SIZE_MAX), SIZE_MAX / 4 * 3);
}

}  // namespace
