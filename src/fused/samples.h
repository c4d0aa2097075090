// The sample readers of the fast path: a run of samples, three 16-bit
// varints each, read into their wire values. One reader for each kind of
// CPU; all give the same values and the same error for every input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/cpu_path.h"
#include "wire/wire_error.h"

namespace vorlane::fused {

// How long sample runs are read. All give the same results for every input.
using SampleReader = cpu::SampleKernel;

// Whether this CPU runs `reader` well (Portable always).
bool sample_reader_supported(SampleReader reader) noexcept;
// The best reader this CPU runs: the one Document::prepare uses by default.
SampleReader best_sample_reader() noexcept;

// Reads the wire values of the samples of a run into [out, out_end) (three
// per sample) from `p`, inside the decoded input [base, end); `text` is set
// to the sum of their text lengths. The input holds at least 64 readable bytes from
// `base` and eight padding bytes with their top bits set after `end`.
// False, with the wire error, where the record decoder would fail; else
// `p` is left just past the run.
bool read_sample_values(const uint8_t* base, const uint8_t*& p, const uint8_t* end, uint16_t* out,
                        uint16_t* out_end, SampleReader reader, size_t& text,
                        wire::WireError& error) noexcept;

}  // namespace vorlane::fused
