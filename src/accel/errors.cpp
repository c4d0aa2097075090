#include "accel/errors.h"

#include <charconv>

namespace vorlane::accel {
namespace {

void append_number(std::string& out, uint64_t value) {
  char digits[20];
  const auto res = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, res.ptr);
}

// Name(a, b): the derived debug form of a variant with payload.
std::string with_payload(std::string_view name, uint64_t first) {
  std::string out(name);
  out += '(';
  append_number(out, first);
  out += ')';
  return out;
}

std::string with_payload(std::string_view name, uint64_t first, uint64_t second) {
  std::string out(name);
  out += '(';
  append_number(out, first);
  out += ", ";
  append_number(out, second);
  out += ')';
  return out;
}

std::string wrapped(std::string_view name, std::string_view inner) {
  std::string out;
  out.reserve(name.size() + inner.size() + 2);
  out.append(name).append("(").append(inner).append(")");
  return out;
}

}  // namespace

std::string_view debug_text(WireError error) noexcept { return wire::wire_error_name(error); }

std::string debug_text(const Base64DecodeError& error) {
  using Kind = Base64DecodeError::Kind;
  switch (error.kind) {
    case Kind::InvalidByte:
      return with_payload("InvalidByte", error.position, error.byte);
    case Kind::InvalidLength:
      return with_payload("InvalidLength", error.position);
    case Kind::InvalidLastSymbol:
      return with_payload("InvalidLastSymbol", error.position, error.byte);
    case Kind::InvalidPadding:
      break;
  }
  return "InvalidPadding";
}

std::string debug_text(const Error& error) {
  switch (error.kind) {
    case Error::Kind::PostcardError:
      return wrapped("PostcardError", debug_text(error.wire));
    case Error::Kind::B64Error:
      return wrapped("B64Error", debug_text(error.b64));
    case Error::Kind::ProtocolVersionNotSupported:
      break;
  }
  return with_payload("ProtocolVersionNotSupported", error.version);
}

}  // namespace vorlane::accel
