#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "accel/entry.h"
#include "json/document.h"
#include "debug_text.h"

using namespace vorlane::accel;
using vorlane::json::NCDataPayload;
using vorlane::json::to_json_text;
using Bytes = std::vector<uint8_t>;

namespace {

// The document for `bytes` read as `version`, or "error: <debug text>".
std::string outcome(uint64_t version, const Bytes& bytes) {
  auto r = decode_bytes(version, bytes.data(), bytes.size());
  if (!r.ok()) return "error: " + debug_text(r.error());
  return to_json_text(NCDataPayload{std::move(r).value()});
}

const Bytes kV3Example = {0x01, 0x03, 0x01, 0x01, 0x32, 0x02, 0x01, 0x04,
                          0xd0, 0x0f, 0x00, 0xd7, 0x04, 0xff, 0xff, 0x03};
const char* kV3Record =
    R"({"range":"R4G","freq":"F100Hz","noise":"LowNoise","antialias":"QuarterFreq","acc_temp":25,)"
    R"("samples":[{"x":-1,"y":2,"z":1000},{"x":0,"y":-300,"z":-32768}]})";

TEST(Documents, WorkedExamples) {
  EXPECT_EQ(outcome(3, kV3Example), std::string(R"({"Accel":{"V3":)") + kV3Record + "}}");
  EXPECT_EQ(outcome(2, kV3Example), std::string(R"({"Accel":{"V2":)") + kV3Record + "}}");
  EXPECT_EQ(outcome(1, kV3Example),
            R"({"Accel":{"V1":{"timestamp":-1,"acc_temp":-2,"samples":[{"x":-1,"y":25,"z":1}]}}})");
  EXPECT_EQ(outcome(1, {0xf6, 0xa1, 0xab, 0xfe, 0xf9, 0x62, 0x09, 0x01, 0x20, 0x1f, 0x80, 0x10}),
            R"({"Accel":{"V1":{"timestamp":1700000000123,"acc_temp":-5,"samples":[{"x":16,"y":-16,"z":1024}]}}})");
  EXPECT_EQ(outcome(1, {0, 0, 0}), R"({"Accel":{"V1":{"timestamp":0,"acc_temp":0,"samples":[]}}})");
  EXPECT_EQ(outcome(3, {0, 0, 0, 0, 0, 0}),
            R"({"Accel":{"V3":{"range":"R2G","freq":"F12_5Hz","noise":"NormalNoise","antialias":"HalfFreq","acc_temp":0,"samples":[]}}})");
}

TEST(Documents, EveryEnumVariantName) {
  const char* ranges[] = {"R2G", "R4G", "R8G"};
  const char* freqs[] = {"F12_5Hz", "F25Hz", "F50Hz", "F100Hz", "F200Hz", "F400Hz"};
  const char* noises[] = {"NormalNoise", "LowNoise", "UltraLowNoise"};
  const char* antialiases[] = {"HalfFreq", "QuarterFreq"};
  for (uint8_t r = 0; r < 3; ++r)
    for (uint8_t f = 0; f < 6; ++f)
      for (uint8_t n = 0; n < 3; ++n)
        for (uint8_t a = 0; a < 2; ++a) {
          const std::string expected = std::string(R"({"range":")") + ranges[r] + R"(","freq":")" +
                                       freqs[f] + R"(","noise":")" + noises[n] +
                                       R"(","antialias":")" + antialiases[a] +
                                       R"(","acc_temp":0,"samples":[]})";
          EXPECT_EQ(outcome(3, {r, f, n, a, 0, 0}), R"({"Accel":{"V3":)" + expected + "}}");
          EXPECT_EQ(outcome(2, {r, f, n, a, 0, 0}), R"({"Accel":{"V2":)" + expected + "}}");
        }
}

struct ErrorRow {
  uint64_t version;
  Bytes bytes;
  const char* error;
};

void PrintTo(const ErrorRow& row, std::ostream* os) {
  *os << "v" << row.version << " [";
  for (auto b : row.bytes) *os << ' ' << static_cast<int>(b);
  *os << " ]";
}

class RecordErrors : public ::testing::TestWithParam<ErrorRow> {};

TEST_P(RecordErrors, FirstFaultWins) {
  const ErrorRow& row = GetParam();
  EXPECT_EQ(outcome(row.version, row.bytes), std::string("error: ") + row.error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RecordErrors,
    ::testing::Values(
        ErrorRow{1, {}, "PostcardError(DeserializeUnexpectedEnd)"},
        ErrorRow{2, {}, "PostcardError(DeserializeUnexpectedEnd)"},
        ErrorRow{3, {}, "PostcardError(DeserializeUnexpectedEnd)"},
        ErrorRow{0, {}, "ProtocolVersionNotSupported(0)"},
        ErrorRow{4, {0, 0, 0}, "ProtocolVersionNotSupported(4)"},
        ErrorRow{3, {3}, "PostcardError(SerdeDeCustom)"},
        ErrorRow{3, {0, 6}, "PostcardError(SerdeDeCustom)"},
        ErrorRow{3, {0, 7}, "PostcardError(SerdeDeCustom)"},  // ends right after the tag
        ErrorRow{3, {0, 0, 3}, "PostcardError(SerdeDeCustom)"},
        ErrorRow{3, {0, 0, 0, 2}, "PostcardError(SerdeDeCustom)"},
        ErrorRow{2, {0, 0, 0, 2}, "PostcardError(SerdeDeCustom)"},
        ErrorRow{3, {0x80, 0x80, 0x80, 0x80, 0x10}, "PostcardError(DeserializeBadVarint)"},
        ErrorRow{3, {0, 0, 0, 0, 0x80, 0x80, 0x04}, "PostcardError(DeserializeBadVarint)"},
        ErrorRow{3, {0, 0, 0, 0, 0x80, 0x80, 0x80}, "PostcardError(DeserializeBadVarint)"},
        ErrorRow{3, {0, 0, 0, 0, 0, 2, 1, 2, 3, 4, 5}, "PostcardError(DeserializeUnexpectedEnd)"},
        ErrorRow{3, {0, 0, 0, 0, 0, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02},
                 "PostcardError(DeserializeBadVarint)"},
        ErrorRow{3, {0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01, 1, 2, 3},
                 "PostcardError(DeserializeUnexpectedEnd)"},
        ErrorRow{1, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02}, "PostcardError(DeserializeBadVarint)"},
        ErrorRow{1, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x81}, "PostcardError(DeserializeBadVarint)"},
        ErrorRow{1, {0, 0xff, 0xff, 0x04}, "PostcardError(DeserializeBadVarint)"},
        ErrorRow{1, {0, 0, 5, 0, 0, 0}, "PostcardError(DeserializeUnexpectedEnd)"},
        ErrorRow{1, {0, 0, 1, 0, 0, 0xff, 0xff, 0x07}, "PostcardError(DeserializeBadVarint)"}),
    [](const ::testing::TestParamInfo<ErrorRow>& info) {
      // v3_SerdeDeCustom_5: the version, the innermost error name, the row.
      std::string error = info.param.error;
      if (auto open = error.find('('); open != std::string::npos && error.compare(0, 8, "Protocol") != 0)
        error = error.substr(open + 1);
      error = error.substr(0, error.find('('));
      error.erase(std::remove(error.begin(), error.end(), ')'), error.end());
      return "v" + std::to_string(info.param.version) + "_" + error + "_" + std::to_string(info.index);
    });

TEST(Documents, IntegerLimitsAndLongTags) {
  EXPECT_EQ(outcome(1, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01, 0xfe, 0xff, 0x03, 1,
                        0xff, 0xff, 0x03, 0xfe, 0xff, 0x03, 0x00}),
            R"({"Accel":{"V1":{"timestamp":-9223372036854775808,"acc_temp":32767,"samples":[{"x":-32768,"y":32767,"z":0}]}}})");
  EXPECT_EQ(outcome(1, {0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01, 0, 0}),
            R"({"Accel":{"V1":{"timestamp":9223372036854775807,"acc_temp":0,"samples":[]}}})");
  // Over-long tags within five bytes are accepted.
  EXPECT_EQ(outcome(3, {0x80, 0x00, 0x81, 0x80, 0x80, 0x80, 0x00, 0, 0, 0, 0}),
            R"({"Accel":{"V3":{"range":"R2G","freq":"F25Hz","noise":"NormalNoise","antialias":"HalfFreq","acc_temp":0,"samples":[]}}})");
}

TEST(Documents, TrailingBytesAreIgnored) {
  Bytes longer = kV3Example;
  longer.insert(longer.end(), {0xff, 0xff, 0xff, 0x80});
  for (uint64_t v : {1, 2, 3}) EXPECT_EQ(outcome(v, longer), outcome(v, kV3Example)) << v;
}

TEST(Entry, Base64BeforeVersion) {
  auto r = decode_b64(7, "QUJD\n");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(debug_text(r.error()), "B64Error(InvalidByte(4, 10))");
  r = decode_b64(9, "");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(debug_text(r.error()), "ProtocolVersionNotSupported(9)");
  for (uint64_t v : {0ull, 4ull, 18446744073709551615ull}) {
    r = decode_b64(v, "AAAA");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), Error::version_not_supported(v));
  }
  r = decode_b64(3, "AQMBATICAQTQDwDXBP//Aw==");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().version(), 3u);
}

TEST(Entry, LargePayloadUsesTheHeapBufferAndDecodesInFull) {
  // 200000 samples of (1, -1, 2): zigzag 2, 1, 4.
  Bytes bytes = {0, 0, 0, 0, 0, 0xc0, 0x9a, 0x0c};
  for (int i = 0; i < 200000; ++i) bytes.insert(bytes.end(), {2, 1, 4});
  auto r = decode_bytes(3, bytes.data(), bytes.size());
  ASSERT_TRUE(r.ok());
  const auto& rec = std::get<2>(r.value().payload);
  ASSERT_EQ(rec.samples.size(), 200000u);
  EXPECT_EQ(rec.samples.back(), (v3::AccelSample{1, -1, 2}));
}

}  // namespace
