#include "accel/errors.h"

#include <charconv>

namespace vorlane::accel {
namespace {

// Appends within the fixed room; the longest text (checked by the tests)
// fits with room to spare, so nothing is ever cut.
class Writer {
 public:
  explicit Writer(ErrorText& text) : text_(text) {}
  Writer& put(std::string_view s) noexcept {
    for (char c : s) {
      if (text_.size < sizeof text_.data) text_.data[text_.size++] = c;
    }
    return *this;
  }
  Writer& number(uint64_t value) noexcept {
    char digits[20];
    const auto res = std::to_chars(digits, digits + sizeof digits, value);
    return put({digits, static_cast<size_t>(res.ptr - digits)});
  }

 private:
  ErrorText& text_;
};

// Name(a) and Name(a, b): the derived debug form of a variant with payload.
void put_base64(Writer& w, const Base64DecodeError& error) noexcept {
  using Kind = Base64DecodeError::Kind;
  switch (error.kind) {
    case Kind::InvalidByte:
      w.put("InvalidByte(").number(error.position).put(", ").number(error.byte).put(")");
      return;
    case Kind::InvalidLength:
      w.put("InvalidLength(").number(error.position).put(")");
      return;
    case Kind::InvalidLastSymbol:
      w.put("InvalidLastSymbol(").number(error.position).put(", ").number(error.byte).put(")");
      return;
    case Kind::InvalidPadding:
      break;
  }
  w.put("InvalidPadding");
}

}  // namespace

std::string_view debug_text(WireError error) noexcept { return wire::wire_error_name(error); }

std::string debug_text(const Base64DecodeError& error) {
  ErrorText text;
  Writer w(text);
  put_base64(w, error);
  return std::string(text.view());
}

namespace {

void put_error(Writer& w, const Error& error) noexcept {
  switch (error.kind) {
    case Error::Kind::PostcardError:
      w.put("PostcardError(").put(debug_text(error.wire)).put(")");
      return;
    case Error::Kind::B64Error:
      w.put("B64Error(");
      put_base64(w, error.b64);
      w.put(")");
      return;
    case Error::Kind::ProtocolVersionNotSupported:
      break;
  }
  w.put("ProtocolVersionNotSupported(").number(error.version).put(")");
}

}  // namespace

ErrorText error_text(const Error& error) noexcept {
  ErrorText text;
  Writer w(text);
  put_error(w, error);
  return text;
}

ErrorText failure_message(const Error& error) noexcept {
  ErrorText text;
  Writer w(text);
  put_error(w.put("Parsing failed: "), error);
  return text;
}

std::string debug_text(const Error& error) { return std::string(error_text(error).view()); }

}  // namespace vorlane::accel
