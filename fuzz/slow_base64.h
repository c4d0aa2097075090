// A deliberately plain Base64 decoder, one byte at a time, following the
// canonical-text rules step by step. The Base64 fuzz target compares the
// production decoder (which works a group at a time) against it.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "base64/base64.h"

namespace vorlane::fuzz {

struct SlowBase64 {
  bool ok = false;
  std::vector<uint8_t> bytes;
  base64::Base64DecodeError error{};
};

inline int symbol_value(uint8_t c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

inline SlowBase64 slow_base64_decode(std::string_view text) {
  using E = base64::Base64DecodeError;
  SlowBase64 out;
  auto fail = [&](E e) {
    out.error = e;
    out.bytes.clear();
    return out;
  };
  const size_t n = text.size();
  const size_t r = n % 4;
  auto byte_at = [&](size_t i) { return static_cast<uint8_t>(text[i]); };

  if (r == 1 && byte_at(n - 1) != '=' && symbol_value(byte_at(n - 1)) < 0) {
    return fail(E::invalid_byte(n - 1, byte_at(n - 1)));
  }
  size_t body = 0;
  if (r != 0) {
    body = n - r;
  } else if (n >= 4) {
    body = n - 4;
  }
  for (size_t g = 0; g < body; g += 4) {
    int s[4];
    for (size_t k = 0; k < 4; ++k) {
      s[k] = symbol_value(byte_at(g + k));
      if (s[k] < 0) return fail(E::invalid_byte(g + k, byte_at(g + k)));
    }
    out.bytes.push_back(static_cast<uint8_t>(s[0] * 4 + s[1] / 16));
    out.bytes.push_back(static_cast<uint8_t>((s[1] % 16) * 16 + s[2] / 4));
    out.bytes.push_back(static_cast<uint8_t>((s[2] % 4) * 64 + s[3]));
  }
  int symbols[4] = {0, 0, 0, 0};
  size_t count = 0;
  size_t pads = 0;
  size_t first_pad = 0;
  for (size_t p = 0; body + p < n; ++p) {
    const uint8_t c = byte_at(body + p);
    if (c == '=') {
      if (p < 2) return fail(E::invalid_byte(body + p, '='));
      if (pads == 0) first_pad = p;
      ++pads;
    } else if (pads > 0) {
      return fail(E::invalid_byte(body + first_pad, '='));
    } else if (symbol_value(c) < 0) {
      return fail(E::invalid_byte(body + p, c));
    } else {
      symbols[count++] = symbol_value(c);
    }
  }
  if (n != 0 && count < 2) return fail(E::invalid_length(body + count));
  if ((count + pads) % 4 != 0) return fail(E::invalid_padding());
  if ((count == 2 && symbols[1] % 16 != 0) || (count == 3 && symbols[2] % 4 != 0)) {
    return fail(E::invalid_last_symbol(body + count - 1, byte_at(body + count - 1)));
  }
  if (count >= 2) out.bytes.push_back(static_cast<uint8_t>(symbols[0] * 4 + symbols[1] / 16));
  if (count >= 3) {
    out.bytes.push_back(static_cast<uint8_t>((symbols[1] % 16) * 16 + symbols[2] / 4));
  }
  if (count == 4) out.bytes.push_back(static_cast<uint8_t>((symbols[2] % 4) * 64 + symbols[3]));
  out.ok = true;
  return out;
}

}  // namespace vorlane::fuzz
