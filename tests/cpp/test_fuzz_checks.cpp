// The fuzz targets' invariant checks must refuse what they are there to
// catch; a checker that accepts everything would make every run green.
#include <gtest/gtest.h>

#include <string>

#include "../../fuzz/checks.h"

namespace {

using vorlane::fuzz::encode_base64;
using vorlane::fuzz::well_formed_document;
using vorlane::fuzz::well_formed_error;

const std::string kV3 =
    R"({"Accel":{"V3":{"range":"R4G","freq":"F100Hz","noise":"LowNoise","antialias":"QuarterFreq",)"
    R"("acc_temp":25,"samples":[{"x":-1,"y":2,"z":1000},{"x":0,"y":-300,"z":-32768}]}}})";
const std::string kV1 =
    R"({"Accel":{"V1":{"timestamp":-9223372036854775808,"acc_temp":32767,"samples":[]}}})";

struct DocCase {
  std::string doc;
  uint64_t version;
  bool accepted;
};

class DocumentChecker : public ::testing::TestWithParam<DocCase> {};

TEST_P(DocumentChecker, AcceptsOnlyTheExactShape) {
  size_t samples = 0;
  EXPECT_EQ(well_formed_document(GetParam().doc, GetParam().version, samples), GetParam().accepted)
      << GetParam().doc;
}

std::string replaced(std::string s, const std::string& from, const std::string& to) {
  s.replace(s.find(from), from.size(), to);
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, DocumentChecker,
    ::testing::Values(
        DocCase{kV3, 3, true}, DocCase{replaced(kV3, "V3", "V2"), 2, true}, DocCase{kV1, 1, true},
        DocCase{kV3, 2, false},                                         // key names another version
        DocCase{kV3 + "\n", 3, false},                                  // trailing newline
        DocCase{replaced(kV3, ",\"freq\"", ", \"freq\""), 3, false},    // whitespace
        DocCase{replaced(kV3, "\"range\":\"R4G\",\"freq\":\"F100Hz\"",
                         "\"freq\":\"F100Hz\",\"range\":\"R4G\""),
                3, false},                                              // members out of order
        DocCase{replaced(kV3, "\"R4G\"", "\"R16G\""), 3, false},       // unknown name
        DocCase{replaced(kV3, ":25,", ":025,"), 3, false},              // leading zero
        DocCase{replaced(kV3, "\"y\":2,", "\"y\":-0,"), 3, false},      // negative zero
        DocCase{replaced(kV3, "-32768", "-32769"), 3, false},           // out of 16-bit range
        DocCase{replaced(kV1, "-9223372036854775808", "-9223372036854775809"), 1, false},
        DocCase{replaced(kV3, "},{", "},,{"), 3, false},                // empty element
        DocCase{replaced(kV3, ",\"z\":1000", ""), 3, false},            // member missing
        DocCase{kV3.substr(0, kV3.size() - 1), 3, false}),              // cut short
    [](const ::testing::TestParamInfo<DocCase>& info) {
      return std::string(info.param.accepted ? "Accepts" : "Refuses") + "_v" +
             std::to_string(info.param.version) + "_" + std::to_string(info.index);
    });

TEST(ErrorChecker, DocumentedFormsOnly) {
  EXPECT_TRUE(well_formed_error("ProtocolVersionNotSupported(4)", 4, ""));
  EXPECT_FALSE(well_formed_error("ProtocolVersionNotSupported(4)", 5, ""));
  EXPECT_FALSE(well_formed_error("ProtocolVersionNotSupported(3)", 3, ""));
  EXPECT_FALSE(well_formed_error("ProtocolVersionNotSupported(04)", 4, ""));
  EXPECT_TRUE(well_formed_error("B64Error(InvalidByte(4, 10))", 7, "QUJD\n"));
  EXPECT_FALSE(well_formed_error("B64Error(InvalidByte(4, 11))", 7, "QUJD\n"));  // not the byte there
  EXPECT_FALSE(well_formed_error("B64Error(InvalidByte(5, 10))", 7, "QUJD\n"));  // past the end
  EXPECT_FALSE(well_formed_error("B64Error(InvalidByte(4,10))", 7, "QUJD\n"));
  EXPECT_TRUE(well_formed_error("B64Error(InvalidLength(5))", 1, "QUJDR"));
  EXPECT_FALSE(well_formed_error("B64Error(InvalidLength(4))", 1, "QUJDR"));
  EXPECT_TRUE(well_formed_error("B64Error(InvalidLastSymbol(1, 82))", 1, "QR=="));
  EXPECT_TRUE(well_formed_error("B64Error(InvalidPadding)", 1, "QQ"));
  EXPECT_FALSE(well_formed_error("B64Error(InvalidPadding())", 1, "QQ"));
  EXPECT_TRUE(well_formed_error("PostcardError(SerdeDeCustom)", 3, ""));
  EXPECT_FALSE(well_formed_error("PostcardError(SerdeDeCustom)", 1, ""));  // v1 has no enums
  EXPECT_FALSE(well_formed_error("PostcardError(DeserializeBadEnum)", 3, ""));
  EXPECT_FALSE(well_formed_error("PostcardError(DeserializeUnexpectedEnd)", 0, ""));
  EXPECT_TRUE(well_formed_error("PostcardError(DeserializeBadVarint)", 2, ""));
}

TEST(Encoder, CanonicalBase64) {
  const uint8_t bytes[] = {0x41, 0x42, 0x43, 0x41};
  EXPECT_EQ(encode_base64(bytes, 0), "");
  EXPECT_EQ(encode_base64(bytes, 1), "QQ==");
  EXPECT_EQ(encode_base64(bytes, 2), "QUI=");
  EXPECT_EQ(encode_base64(bytes, 3), "QUJD");
  EXPECT_EQ(encode_base64(bytes, 4), "QUJDQQ==");
}

}  // namespace
