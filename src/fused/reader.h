// The plain sample reader, shared by every path: whole samples from 64-byte
// windows of varint ends, then one word per sample, then one byte at a
// time, with the 7-bit groups packed by `Groups` (shifts and masks, or one
// PEXT where the path has it). The vector readers take what they can of a
// run first and leave the rest to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bits.h"
#include "fused/exact.h"
#include "fused/tables.h"
#include "fused/vector.h"

namespace vorlane::fused {

// ---- fast sample reader -----------------------------------------------------
//
// A sample is three varints of one to three bytes; the bytes with a clear top
// bit end them. For a window of 64 bytes those ends are one 64-bit mask, and
// each sample takes the next three set bits of it: finding where a sample
// starts never waits for the sample before it to be decoded. The 7-bit groups
// of a sample are packed together once for all three values.

// The low 7 bits of each byte of `w`, packed into 56 bits.
inline uint64_t packed_groups(uint64_t w) noexcept {
  uint64_t t = w & 0x7F7F7F7F7F7F7F7Full;
  t = (t & 0x007F007F007F007Full) | ((t >> 1) & 0x3F803F803F803F80ull);
  t = (t & 0x00003FFF00003FFFull) | ((t >> 2) & 0x0FFFC0000FFFC000ull);
  return (t & 0x000000000FFFFFFFull) | ((t >> 4) & 0x00FFFFFFF0000000ull);
}

// A window is the 64 bytes one end mask covers; a sample that starts late in
// it is loaded eight bytes wide, so reading windows needs that much more.
constexpr size_t kWindow = 64;
constexpr size_t kWindowRead = kWindow + 8;
static_assert(kWindowRead == 72, "a window and one word past it");

// Value bits of a varint of 1 to 3 bytes.
constexpr uint32_t kValueMask[4] = {0, 0x7F, 0x3FFF, 0x1FFFFF};

using GroupPacker = uint64_t (*)(uint64_t) noexcept;

// Keeps one sample's wire values and adds their text length; false, keeping
// nothing, where a value passes 16 bits (a third byte above 3).
inline bool keep_sample(uint32_t x, uint32_t y, uint32_t z, uint16_t*& out,
                        size_t& text) noexcept {
  if (((x | y | z) >> 16) != 0) return false;
  out[0] = static_cast<uint16_t>(x);
  out[1] = static_cast<uint16_t>(y);
  out[2] = static_cast<uint16_t>(z);
  text += size_t{kTextLength[x]} + kTextLength[y] + kTextLength[z];
  out += 3;
  return true;
}

// Whole samples from a window of up to 64 bytes at `base`, whose varint ends
// are `ends`, starting at byte `start` of it. Stops when the samples are
// done, before a sample that runs past the window, or before a sample with a
// fault (which the exact readers then report), and returns where it stopped;
// `fault` tells which. Loads eight bytes at each sample (fourteen for a
// sample of nine bytes), so those must be readable.
template <GroupPacker kGroups>
inline unsigned read_window(const uint8_t* base, uint64_t ends, unsigned start, uint16_t*& out,
                            const uint16_t* out_end, size_t& text, bool& fault) noexcept {
  while (out != out_end) {
    const uint64_t ends2 = ends & (ends - 1);
    const uint64_t ends3 = ends2 & (ends2 - 1);
    if (ends3 == 0) break;  // the sample runs past the window
    const auto e1 = (bits::countr_zero(ends));
    const auto e2 = (bits::countr_zero(ends2));
    const auto e3 = (bits::countr_zero(ends3));
    const unsigned l1 = e1 + 1 - start;
    const unsigned l2 = e2 - e1;
    const unsigned l3 = e3 - e2;
    if ((l1 | l2 | l3) > 3) {  // a varint of four bytes or more
      fault = true;
      break;
    }
    uint64_t w;
    std::memcpy(&w, base + start, 8);
    const uint64_t bits = kGroups(w);
    const auto x = static_cast<uint32_t>(bits) & kValueMask[l1];
    const auto y = static_cast<uint32_t>(bits >> (7 * l1)) & kValueMask[l2];
    uint32_t z;
    if (e3 - start < 8) {
      z = static_cast<uint32_t>(bits >> (7 * (l1 + l2))) & kValueMask[l3];
    } else {
      // Nine bytes: z lies past the word.
      std::memcpy(&w, base + start + 6, 8);
      z = static_cast<uint32_t>(kGroups(w)) & kValueMask[3];
    }
    if (!keep_sample(x, y, z, out, text)) {
      fault = true;
      break;
    }
    start = e3 + 1;
    ends = ends3 & (ends3 - 1);
  }
  return start;
}

// Whole samples from 64-byte windows while kWindowRead bytes are left. Stops when the
// samples are done, the bytes run short, or before a sample with a fault,
// which the exact readers then report. Returns the samples' text length.
template <GroupPacker kGroups>
size_t read_windows(const uint8_t*& p, const uint8_t* end, uint16_t*& out,
                    const uint16_t* out_end) noexcept {
  size_t text = 0;
  while (out != out_end && end - p >= static_cast<ptrdiff_t>(kWindowRead)) {
    bool fault = false;
    const unsigned start = read_window<kGroups>(p, end_mask64(p), 0, out, out_end, text, fault);
    p += start;
    if (fault || start == 0) break;
  }
  return text;
}

// Whole samples, one word each, while each is whole and well formed within
// eight bytes; stops before any other (or at the end of the input, as the
// padding bytes past it all have their top bit set and so end no varint).
// Returns the samples' text length.
template <GroupPacker kGroups>
size_t read_words(const uint8_t*& p, uint16_t*& out, const uint16_t* out_end) noexcept {
  size_t text = 0;
  while (out != out_end) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    const uint64_t ends = ~w & 0x8080808080808080ull;
    const uint64_t ends2 = ends & (ends - 1);
    const uint64_t ends3 = ends2 & (ends2 - 1);
    if (ends3 == 0) break;  // nine bytes, or the input ends inside the sample
    const auto e1 = static_cast<unsigned>(bits::countr_zero(ends) >> 3);
    const auto e2 = static_cast<unsigned>(bits::countr_zero(ends2) >> 3);
    const auto e3 = static_cast<unsigned>(bits::countr_zero(ends3) >> 3);
    const unsigned l1 = e1 + 1;
    const unsigned l2 = e2 - e1;
    const unsigned l3 = e3 - e2;
    if ((l1 | l2 | l3) > 3) break;
    const uint64_t bits = kGroups(w);
    const auto x = static_cast<uint32_t>(bits) & kValueMask[l1];
    const auto y = static_cast<uint32_t>(bits >> (7 * l1)) & kValueMask[l2];
    const auto z = static_cast<uint32_t>(bits >> (7 * (l1 + l2))) & kValueMask[l3];
    if (!keep_sample(x, y, z, out, text)) break;
    p += e3 + 1;
  }
  return text;
}

// A run's samples (see read_samples in samples.h for the contract), after
// whatever a vector reader took of it.
template <GroupPacker kGroups>
inline bool read_samples(const uint8_t* base, const uint8_t*& p_ref, const uint8_t* end,
                         uint16_t* out, uint16_t* const out_end, size_t& text_ref,
                         WireError& error) noexcept {
  // Locals, not the references: the stores of the values could alias them,
  // which would take the text length through memory at every sample.
  const uint8_t* p = p_ref;
  size_t text = text_ref;
  const bool ok = [&]() noexcept {
    if (end - p >= static_cast<ptrdiff_t>(kWindowRead)) {
      text += read_windows<kGroups>(p, end, out, out_end);
    } else if (out != out_end && end - base <= static_cast<ptrdiff_t>(kWindow)) {
      // A whole input of up to 64 bytes, as most device messages are: one mask
      // of its varint ends, so that where a sample starts comes from the mask
      // and not from the bytes of the sample before. Bytes past the input end
      // nothing; the first 64 bytes are always there to load.
      const auto size = static_cast<unsigned>(end - base);
      const auto start = static_cast<unsigned>(p - base);  // below 62: a sample is left
      const uint64_t inside = size == 64 ? ~uint64_t{0} : (uint64_t{1} << size) - 1;
      const uint64_t ends = end_mask64(base) & inside & (~uint64_t{0} << start);
      bool fault = false;
      p = base + read_window<kGroups>(base, ends, start, out, out_end, text, fault);
    }
    // A short input is usually done by now.
    if (out == out_end) return true;
    // Short runs and the end of long ones: one word per sample.
    text += read_words<kGroups>(p, out, out_end);
    // Whatever the word reader left (a fault, a nine-byte sample, the end of
    // the input), one byte at a time.
    for (; out != out_end; ++out) {
      if (!read_u16(p, end, *out, error)) return false;
      text += kTextLength[*out];
    }
    return true;
  }();
  p_ref = p;
  text_ref = text;
  return ok;
}

// A vector reader: whole samples while it can, leaving `p` and `out` where
// it stopped; returns their text length.
using VectorReader = size_t (*)(const uint8_t*& p, const uint8_t* end, uint16_t*& out,
                                const uint16_t* out_end) noexcept;

// A path's reader: its vector reader where `kNeeds` bytes are left, then the
// plain reader for the rest.
template <VectorReader kVector, size_t kNeeds, GroupPacker kGroups>
inline bool read_samples_with(const uint8_t* base, const uint8_t*& p, const uint8_t* end,
                              uint16_t* out, uint16_t* const out_end, size_t& text,
                              WireError& error) noexcept {
  text = 0;
  if (end - p >= static_cast<ptrdiff_t>(kNeeds)) text = kVector(p, end, out, out_end);
  return read_samples<kGroups>(base, p, end, out, out_end, text, error);
}

}  // namespace vorlane::fused
