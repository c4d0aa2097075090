// Bit helpers with portable fallbacks: the compiler's builtins where it has
// them (they are what <bit> compiles to there, without its header cost or
// the unsigned-only signatures), <bit> elsewhere.
#pragma once

#include <cstdint>

#if !(defined(__GNUC__) || defined(__clang__))
#include <bit>
#endif

// The fast paths load and store words in little-endian byte order.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "vorlane_binary_parser needs a little-endian target"
#endif

namespace vorlane::bits {

// Trailing and leading zero bits of a non-zero word.
inline unsigned countr_zero(uint64_t x) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return static_cast<unsigned>(__builtin_ctzll(x));
#else
  return static_cast<unsigned>(std::countr_zero(x));
#endif
}

inline unsigned countl_zero(uint64_t x) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return static_cast<unsigned>(__builtin_clzll(x));
#else
  return static_cast<unsigned>(std::countl_zero(x));
#endif
}

inline uint64_t byteswap(uint64_t x) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap64(x);
#else
  uint64_t r = 0;
  for (int i = 0; i < 8; ++i, x >>= 8) r = r << 8 | (x & 0xFF);
  return r;
#endif
}

// Bits in a 64-bit word: its bit length.
inline unsigned bit_width(uint64_t x) noexcept { return x == 0 ? 0 : 64 - countl_zero(x); }

// Hides how `v` was computed from the optimiser, so that it does not fold
// a value back into the chain it came from (a no-op where there is no GNU
// inline assembly; only speed depends on it).
template <class T>
inline void opaque(T& v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  asm("" : "+r"(v));
#else
  (void)v;
#endif
}

}  // namespace vorlane::bits
