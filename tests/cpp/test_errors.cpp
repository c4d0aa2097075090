#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "accel/errors.h"
#include "debug_text.h"

using namespace vorlane::accel;
using vorlane::wire::kWireErrorCount;

TEST(WireErrorNames, AllSixteenInIndexOrder) {
  const char* expected[] = {
      "WontImplement",        "NotYetImplemented",        "SerializeBufferFull",
      "SerializeSeqLengthUnknown", "DeserializeUnexpectedEnd", "DeserializeBadVarint",
      "DeserializeBadBool",   "DeserializeBadChar",       "DeserializeBadUtf8",
      "DeserializeBadOption", "DeserializeBadEnum",       "DeserializeBadEncoding",
      "DeserializeBadCrc",    "SerdeSerCustom",           "SerdeDeCustom",
      "CollectStrError"};
  ASSERT_EQ(std::size(expected), kWireErrorCount);
  for (unsigned i = 0; i < kWireErrorCount; ++i) {
    const auto e = static_cast<WireError>(i);
    EXPECT_EQ(debug_text(e), expected[i]);
    EXPECT_EQ(debug_text(Error::postcard(e)), std::string("PostcardError(") + expected[i] + ")");
  }
}

TEST(ErrorDebugText, EveryFormAndNumberEdge) {
  struct Row {
    Error error;
    const char* text;
  };
  const Row rows[] = {
      {Error::version_not_supported(0), "ProtocolVersionNotSupported(0)"},
      {Error::version_not_supported(4), "ProtocolVersionNotSupported(4)"},
      {Error::version_not_supported(UINT64_MAX), "ProtocolVersionNotSupported(18446744073709551615)"},
      {Error::base64(Base64DecodeError::invalid_byte(4, 10)), "B64Error(InvalidByte(4, 10))"},
      {Error::base64(Base64DecodeError::invalid_byte(0, 0)), "B64Error(InvalidByte(0, 0))"},
      {Error::base64(Base64DecodeError::invalid_byte(UINT64_MAX, 255)),
       "B64Error(InvalidByte(18446744073709551615, 255))"},
      {Error::base64(Base64DecodeError::invalid_byte(1234, 32)), "B64Error(InvalidByte(1234, 32))"},
      {Error::base64(Base64DecodeError::invalid_length(5)), "B64Error(InvalidLength(5))"},
      {Error::base64(Base64DecodeError::invalid_last_symbol(1, 82)),
       "B64Error(InvalidLastSymbol(1, 82))"},
      {Error::base64(Base64DecodeError::invalid_last_symbol(UINT64_MAX, 255)),
       "B64Error(InvalidLastSymbol(18446744073709551615, 255))"},  // the longest
      {Error::base64(Base64DecodeError::invalid_length(UINT64_MAX)),
       "B64Error(InvalidLength(18446744073709551615))"},
      {Error::base64(Base64DecodeError::invalid_padding()), "B64Error(InvalidPadding)"},
      {Error::postcard(WireError::DeserializeBadVarint), "PostcardError(DeserializeBadVarint)"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(debug_text(row.error), row.text);
    // The fixed buffer the tool reports from holds each one whole.
    EXPECT_EQ(error_text(row.error).view(), row.text);
    EXPECT_EQ(failure_message(row.error).view(), "Parsing failed: " + std::string(row.text));
  }
}
