#include "accel/errors.h"

namespace vorlane::accel {
namespace {

// Name(a) and Name(a, b): the derived debug form of a variant with payload.
void put_base64(ErrorText& text, const Base64DecodeError& error) noexcept {
  using Kind = Base64DecodeError::Kind;
  switch (error.kind) {
    case Kind::InvalidByte:
      text << "InvalidByte(" << error.position << ", " << uint64_t{error.byte} << ")";
      return;
    case Kind::InvalidLength:
      text << "InvalidLength(" << error.position << ")";
      return;
    case Kind::InvalidLastSymbol:
      text << "InvalidLastSymbol(" << error.position << ", " << uint64_t{error.byte} << ")";
      return;
    case Kind::InvalidPadding:
      break;
  }
  text << "InvalidPadding";
}

}  // namespace

std::string_view debug_text(WireError error) noexcept { return wire::wire_error_name(error); }

ErrorText error_text(const Error& error) noexcept {
  ErrorText text;
  switch (error.kind) {
    case Error::Kind::PostcardError:
      text << "PostcardError(" << debug_text(error.wire) << ")";
      return text;
    case Error::Kind::B64Error:
      text << "B64Error(";
      put_base64(text, error.b64);
      text << ")";
      return text;
    case Error::Kind::ProtocolVersionNotSupported:
      break;
  }
  text << "ProtocolVersionNotSupported(" << error.version << ")";
  return text;
}

FailureMessage failure_message(const Error& error) noexcept {
  FailureMessage message;
  message << "Parsing failed: " << error_text(error).view();
  return message;
}

}  // namespace vorlane::accel
