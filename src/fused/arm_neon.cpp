// The neon path's kernels: the AVX2 reader's and writer's designs in NEON.
#include <arm_neon.h>

#include "fused/document.h"
#include "fused/reader.h"
#include "fused/samples.h"
#include "fused/writer.h"

namespace vorlane::fused {
namespace {

// The AVX2 reader's design in NEON: the starts of the varints of a window
// become a list of positions through kSetBits; four values to a 128-bit
// register, one table lookup, its indices made from those positions, brings
// the one to three bytes of each to a 32-bit lane (indices of 16 and above
// give zeros, so a byte past a value's end is simply pointed off the table),
// and shifts join their 7-bit groups. Stops before a window that holds a
// fault (a varint of four bytes or more, a third byte above 3), and reads
// whole samples only, no more than are left; the other readers then go on
// exactly. Returns the values' text length.
size_t read_values_neon(const uint8_t*& p, const uint8_t* end, uint16_t*& out,
                        const uint16_t* out_end) noexcept {
  // Lane j of four: its value's first position, the next value's, and the
  // byte of the value each byte of the lane takes.
  const uint8x16_t spread = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};
  const uint8x16_t spread_next = {1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4};
  const uint8x16_t next_bytes = {0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3};
  const uint8x16_t seven_bits = vdupq_n_u8(0x7F);
  const uint8x16_t three = vdupq_n_u8(3);
  const uint16x8_t unit16 = vdupq_n_u16(1);
  const uint16x8_t lane_index = {0, 1, 2, 3, 4, 5, 6, 7};
  // Text lengths: a digit, one more per power of ten reached, and the sign
  // of the odd (negative) wire values. The magnitude of wire value u is
  // (u + 1) / 2, so it reaches 10^d exactly when u reaches 2 * 10^d - 1.
  const uint16x8_t ge10 = vdupq_n_u16(19);
  const uint16x8_t ge100 = vdupq_n_u16(199);
  const uint16x8_t ge1000 = vdupq_n_u16(1999);
  const uint16x8_t ge10000 = vdupq_n_u16(19999);
  size_t text = 0;
  alignas(16) uint8_t at[96];  // up to 64 starts, then 32 bytes of 64 past them
  while (end - p >= static_cast<ptrdiff_t>(kVectorRead) && out != out_end) {
    const uint8x16_t v0 = vld1q_u8(p);
    const uint8x16_t v1 = vld1q_u8(p + 16);
    const uint8x16_t v2 = vld1q_u8(p + 32);
    const uint8x16_t v3 = vld1q_u8(p + 48);
    const uint64_t cont = top_bits64(v0, v1, v2, v3);
    const uint64_t ends = ~cont;
    // Whole samples only, so that every reader after this one starts on a
    // sample, and no more than are left.
    const auto [k, taken] = window_take(ends, out, out_end);
    if (k == 0) break;
    // Where every varint of the window starts; the one after an end in
    // the last byte starts at 64.
    const unsigned count = start_positions(ends, at);
    std::memset(at + count, 64, 32);
    const uint64_t used = taken == 64 ? ~uint64_t{0} : (uint64_t{1} << taken) - 1;
    // The third byte of a varint of four bytes or more has its top bit set:
    // one test finds both faults.
    const uint64_t c = cont & used;
    const uint64_t third = (c << 1) & (c << 2) & used;
    const uint64_t above3 = byte_mask64(vcgtq_u8(v0, three), vcgtq_u8(v1, three),
                                        vcgtq_u8(v2, three), vcgtq_u8(v3, three));
    if ((third & above3) != 0) break;

    // Eight values a round; the last may read past the k values (their
    // positions are 64, so loads stay inside the kVectorRead bytes) and store past
    // them where there is room, to be overwritten by whatever reads next.
    uint16_t spill[64];
    const bool room = static_cast<size_t>(out_end - out) >= ((k + 7) & ~size_t{7});
    uint16_t* const to = room ? out : spill;
    uint16x8_t window_lengths = vdupq_n_u16(0);
    for (size_t i = 0; i < k; i += 8) {
      const auto four = [&](size_t from) {
        const uint8x16_t pos = vld1q_u8(at + from);
        const uint8x16_t first = vdupq_n_u8(at[from]);
        // Each byte's offset from the first value's start, kept where it
        // comes before the next value's start.
        const uint8x16_t offset =
            vaddq_u8(vsubq_u8(vqtbl1q_u8(pos, spread), first), next_bytes);
        const uint8x16_t limit = vsubq_u8(vqtbl1q_u8(pos, spread_next), first);
        const uint8x16_t index = vornq_u8(offset, vcltq_u8(offset, limit));
        const uint8x16_t groups =
            vandq_u8(vqtbl1q_u8(vld1q_u8(p + at[from]), index), seven_bits);
        const uint32x4_t g = vreinterpretq_u32_u8(groups);
        const uint32x4_t low = vandq_u32(g, vdupq_n_u32(0x7F));
        const uint32x4_t middle = vandq_u32(vshrq_n_u32(g, 1), vdupq_n_u32(0x3F80));
        const uint32x4_t high = vandq_u32(vshrq_n_u32(g, 2), vdupq_n_u32(0x1FC000));
        return vmovn_u32(vorrq_u32(low, vorrq_u32(middle, high)));
      };
      const uint16x8_t values = vcombine_u16(four(i), four(i + 4));
      vst1q_u16(to + i, values);

      uint16x8_t length = vaddq_u16(vandq_u16(values, unit16), unit16);
      length = vsubq_u16(length, vcgeq_u16(values, ge10));
      length = vsubq_u16(length, vcgeq_u16(values, ge100));
      length = vsubq_u16(length, vcgeq_u16(values, ge1000));
      length = vsubq_u16(length, vcgeq_u16(values, ge10000));
      const uint16x8_t kept = vcltq_u16(lane_index, vdupq_n_u16(static_cast<uint16_t>(k - i)));
      window_lengths = vaddq_u16(window_lengths, vandq_u16(length, kept));
    }
    // At most eight rounds of six per lane: no overflow.
    text += vaddlvq_u16(window_lengths);
    if (!room) std::memcpy(out, spill, k * sizeof(uint16_t));
    out += k;
    p += taken;
  }
  return text;
}

// ---- NEON writer --------------------------------------------------------
//
// The AVX2 writer's layout with NEON's two-register table lookup, which
// reaches all 32 bytes: the table holds the entries of x, y and z (and
// zeros), two lookups bring the value bytes of the sample's 32 bytes to
// their places, ORs add the fixed fragments, two 16-byte stores write it.
// The indices depend only on the lengths of x and y: z's eight bytes go in
// whole, and what lies past the sample's end is overwritten by the next.

// Byte k of entry e of the table (x, y, z, zeros).
constexpr uint8_t neon_place(size_t value, size_t k, size_t) { return static_cast<uint8_t>(8 * value + k); }
alignas(64) constexpr std::array<SampleLayout, 64> kNeonLayouts = make_layouts(neon_place, 0xFF);

// One sample whose three values are all in the text table.
inline char* put_table_sample_neon(char* out, const uint16_t* s) noexcept {
  const uint16_t x = s[0], y = s[1], z = s[2];
  const size_t lx = kTextLength[x], ly = kTextLength[y];
  size_t length = kSampleFixed + lx + ly + kTextLength[z];
  bits::opaque(length);
  const auto entry = [](uint16_t u) { return vld1_u8(reinterpret_cast<const uint8_t*>(&kText[u])); };
  const uint8x16x2_t values = {{vcombine_u8(entry(x), entry(y)), vcombine_u8(entry(z), vdup_n_u8(0))}};
  const SampleLayout& layout = kNeonLayouts[lx * 8 + ly];
  auto* to = reinterpret_cast<uint8_t*>(out);
  vst1q_u8(to, vorrq_u8(vqtbl2q_u8(values, vld1q_u8(layout.index)), vld1q_u8(layout.fragments)));
  vst1q_u8(to + 16,
           vorrq_u8(vqtbl2q_u8(values, vld1q_u8(layout.index + 16)), vld1q_u8(layout.fragments + 16)));
  return out + length;
}

// Whether every value of the kCheckedBlock samples at `s` is in the table.
inline bool block_in_table_neon(const uint16_t* s) noexcept {
  uint16x8_t any = vld1q_u16(s);
  for (size_t i = 1; i < 3 * kCheckedBlock / 8; ++i) any = vorrq_u16(any, vld1q_u16(s + 8 * i));
  return vmaxvq_u16(any) < kTextCount;  // a power of two: the OR is below it if every value is
}


}  // namespace

bool read_samples_neon(const uint8_t* base, const uint8_t*& p, const uint8_t* end, uint16_t* out,
                       uint16_t* out_end, size_t& text, WireError& error) noexcept {
  return read_samples_with<read_values_neon, kVectorRead, packed_groups>(
      base, p, end, out, out_end, text, error);
}

void long_run_neon(char*& out, const char* end, const uint16_t*& s, const uint16_t* s_last) noexcept {
  const auto block = [](char* to, const uint16_t* t) {
    for (size_t i = 0; i < kCheckedBlock; ++i) to = put_table_sample_neon(to, t + 3 * i);
    return to;
  };
  // A value past the table: the scalar sample.
  const auto one = [](char* to, const uint16_t* t) {
    if ((t[0] | t[1] | t[2]) < kTextCount) return put_table_sample_neon(to, t);
    return put_next_sample(to, value_entry(t[0]), value_entry(t[1]), value_entry(t[2]));
  };
  long_run_blocks(out, end, s, s_last, block_in_table_neon, block, one);
}

// Eight samples per de-interleaving load; the rest one by one.
void split_samples_neon(const uint16_t* wire, size_t count, int16_t* x, int16_t* y,
                        int16_t* z) noexcept {
  int16_t* const axes[3] = {x, y, z};
  size_t i = 0;
  for (; i + 8 <= count; i += 8, wire += 24) {
    const uint16x8x3_t v = vld3q_u16(wire);
    for (size_t k = 0; k < 3; ++k) {
      // zigzag: v >> 1, negated where v is odd.
      const int16x8_t half = vreinterpretq_s16_u16(vshrq_n_u16(v.val[k], 1));
      const int16x8_t sign = vnegq_s16(vreinterpretq_s16_u16(vandq_u16(v.val[k], vdupq_n_u16(1))));
      vst1q_s16(axes[k] + i, veorq_s16(half, sign));
    }
  }
  split_samples_portable(wire, count - i, x + i, y + i, z + i);
}

}  // namespace vorlane::fused
