// Errors' debug texts as strings, for test messages and comparisons.
#pragma once

#include <string>
#include <string_view>

#include "accel/errors.h"

namespace vorlane::accel {

inline std::string debug_text(const Error& error) { return std::string(error_text(error).view()); }

// A Base64 fault's text is the inside of B64Error(...).
inline std::string debug_text(const Base64DecodeError& error) {
  const std::string text = debug_text(Error::base64(error));
  constexpr std::string_view kOpen = "B64Error(";
  return text.substr(kOpen.size(), text.size() - kOpen.size() - 1);
}

}  // namespace vorlane::accel
