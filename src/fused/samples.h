// The sample readers of the fast path: a run of samples, three 16-bit
// varints each, read into their wire values. One reader for each kind of
// CPU, each of type SampleReader, paired with the rest of its path in the
// table of CPU paths; all give the same values and the same error for every
// input.
//
// A reader reads the wire values of the samples of a run into [out,
// out_end) (three per sample) from `p`, inside the decoded input [base,
// end); `text` is set to the sum of their text lengths. The input holds at
// least 64 readable bytes from `base` and eight padding bytes with their
// top bits set after `end`. False, with the wire error, where the record
// decoder would fail; else `p` is left just past the run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/cpu_path.h"
#include "wire/wire_error.h"

namespace vorlane::fused {

using wire::WireError;

// Plain C++, on every target: the plain reader, which every reader here
// ends with.
bool read_samples_portable(const uint8_t* base, const uint8_t*& p, const uint8_t* end,
                           uint16_t* out, uint16_t* out_end, size_t& text,
                           WireError& error) noexcept;
// 64-bit integer code alone: 21 samples per 128-byte step where every
// varint has one or two bytes, the plain reader for the rest (every target).
bool read_samples_swar(const uint8_t* base, const uint8_t*& p, const uint8_t* end, uint16_t* out,
                       uint16_t* out_end, size_t& text, WireError& error) noexcept;
// Every value ending in a 64-byte window per step with AVX2 alone (x86-64).
bool read_samples_avx2(const uint8_t* base, const uint8_t*& p, const uint8_t* end, uint16_t* out,
                       uint16_t* out_end, size_t& text, WireError& error) noexcept;
// Every value ending in a 64-byte window per step with AVX-512 VBMI2 (from
// a few hundred bytes), thirty values per step near the run's end, the
// rest with one PEXT per sample (x86-64).
bool read_samples_avx512(const uint8_t* base, const uint8_t*& p, const uint8_t* end,
                         uint16_t* out, uint16_t* out_end, size_t& text,
                         WireError& error) noexcept;
// Up to 63 values per 64-byte step with NEON (aarch64).
bool read_samples_neon(const uint8_t* base, const uint8_t*& p, const uint8_t* end, uint16_t* out,
                       uint16_t* out_end, size_t& text, WireError& error) noexcept;

// The splitters, each of type Splitter: `count` samples' wire values (x, y,
// z each) into three columns of their signed values. Plain C++, on every
// target:
void split_samples_portable(const uint16_t* wire, size_t count, int16_t* x, int16_t* y,
                            int16_t* z) noexcept;
// Eight samples per three byte shuffles an axis (x86-64 SSSE3).
void split_samples_ssse3(const uint16_t* wire, size_t count, int16_t* x, int16_t* y,
                         int16_t* z) noexcept;
// Thirty-two samples per two word permutes an axis (x86-64 AVX-512 BW).
void split_samples_avx512(const uint16_t* wire, size_t count, int16_t* x, int16_t* y,
                          int16_t* z) noexcept;
// Eight samples per de-interleaving load (aarch64).
void split_samples_neon(const uint16_t* wire, size_t count, int16_t* x, int16_t* y,
                        int16_t* z) noexcept;

}  // namespace vorlane::fused
