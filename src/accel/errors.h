// The decoding error and its debug text, the only rendering it has.
#pragma once

#include <cstdint>
#include <string_view>

#include "base64/base64.h"
#include "common/fixed_text.h"
#include "wire/wire_error.h"

namespace vorlane::accel {

using base64::Base64DecodeError;
using wire::WireError;

// Small value type; carries numbers only, text is made by error_text.
struct Error {
  enum class Kind : uint8_t {
    PostcardError,                // the bytes are not a payload of the version
    B64Error,                     // the text is not canonical Base64
    ProtocolVersionNotSupported,  // the version is neither 1, 2 nor 3
  };

  Kind kind = Kind::PostcardError;
  WireError wire = WireError::WontImplement;  // PostcardError
  Base64DecodeError b64{};                    // B64Error
  uint64_t version = 0;                       // ProtocolVersionNotSupported

  static constexpr Error postcard(WireError e) { return {Kind::PostcardError, e, {}, 0}; }
  static constexpr Error base64(Base64DecodeError e) {
    return {Kind::B64Error, WireError::WontImplement, e, 0};
  }
  static constexpr Error version_not_supported(uint64_t v) {
    return {Kind::ProtocolVersionNotSupported, WireError::WontImplement, {}, v};
  }

  friend constexpr bool operator==(const Error&, const Error&) = default;
};

// An error's debug text in a fixed buffer: a report made after memory ran
// out must not need any. The longest text is 54 bytes.
using ErrorText = FixedText<64>;

std::string_view debug_text(WireError error) noexcept;
ErrorText error_text(const Error& error) noexcept;

// "Parsing failed: " and the debug text: what a caller is told of a payload
// that did not decode, by every front end alike.
using FailureMessage = FixedText<ErrorText::kCapacity + 16>;
FailureMessage failure_message(const Error& error) noexcept;

}  // namespace vorlane::accel
