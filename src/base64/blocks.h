// Block decoders for the Base64 body, one per instruction set. Each decodes
// whole blocks from the start of `in` (`len` bytes, a multiple of four) and
// stops before the first block that holds a byte outside the alphabet, or
// when less than a block is left. It returns the number of bytes consumed
// and has written exactly three bytes per four consumed to `out`. Finding
// and reporting the bad byte is left to the caller's group loop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/cpu.h"

namespace vorlane::base64::blocks {

// Plain C++, sixteen symbols a block: every target.
size_t decode_portable(const uint8_t* in, size_t len, uint8_t* out) noexcept;

#if VORLANE_X86_TARGETS
size_t decode_sse41(const uint8_t* in, size_t len, uint8_t* out) noexcept;
size_t decode_avx2(const uint8_t* in, size_t len, uint8_t* out) noexcept;
size_t decode_avx512(const uint8_t* in, size_t len, uint8_t* out) noexcept;
// A whole text of 4 to 64 bytes (a multiple of four) in one step, when it is
// valid: symbols, then at most two '=' with no surplus bits before them.
// Writes its bytes and their number and returns true; returns false, having
// written nothing, for anything else, which the caller then decodes exactly.
// With a `fill` of 0 to 255, all 64 bytes at `out` are written in one plain
// store, `fill` after the decoded ones: loads that follow soon are forwarded
// from that store, where a masked store would make them wait for memory.
bool decode_short_avx512(const uint8_t* in, size_t n, uint8_t* out, size_t& written,
                         int fill = -1) noexcept;
// The same for 4 to 32 bytes with AVX2, with a `fill` only (32 bytes
// written); false for anything else.
bool decode_short_avx2(const uint8_t* in, size_t n, uint8_t* out, size_t& written,
                       int fill) noexcept;
#endif

}  // namespace vorlane::base64::blocks
