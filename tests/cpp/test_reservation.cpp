// What a forged sample count can make each path allocate. Global operator
// new is replaced in this executable so that every request made while
// decoding is seen; the core itself is unchanged.
//
// The reference decoder (decode_bytes, the record decoders): with n announced
// and r bytes left after the count, room for min(n, 174762) samples is
// reserved up front only when n <= r; otherwise nothing, and the array
// grows (4, 8, 16, ...) only as samples arrive.
//
// The fast path (fused::Document, which the module and the tool run): a
// count the bytes left cannot hold at three bytes a sample (3n > r) fails
// before anything is allocated for samples; otherwise the n samples' values
// take one array of 6n bytes, at most twice the bytes left, and only past
// 128 samples (fewer stay on the stack). The decoded bytes go to the heap
// only past 768 of them. So the input's length bounds all it allocates.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <new>
#include <vector>

#include "accel/entry.h"
#include "base64/base64.h"
#include "encode.h"
#include "replaced_new.h"
#include "fused/document.h"
#include "debug_text.h"

namespace {

struct AllocationLog {
  bool on = false;
  size_t count = 0;
  size_t total = 0;
  size_t first = 0;
  size_t largest = 0;
};
AllocationLog g_log;

}  // namespace

void replaced_new_hook(size_t size) {
  if (g_log.on) {
    if (g_log.count++ == 0) g_log.first = size;
    g_log.total += size;
    if (size > g_log.largest) g_log.largest = size;
  }
}

namespace {

using vorlane::accel::debug_text;
using vorlane::accel::decode_bytes;
using Bytes = std::vector<uint8_t>;

constexpr size_t kSample = 6;  // three 16-bit values
constexpr uint64_t kCap = 174762;

void put_varint(Bytes& out, uint64_t n) {
  do {
    const auto b = static_cast<uint8_t>(n & 0x7F);
    n >>= 7;
    out.push_back(n != 0 ? (b | 0x80) : b);
  } while (n != 0);
}

// The fields before the samples, for each version: all zero.
Bytes header(uint64_t version) { return Bytes(version == 1 ? 2 : 5, 0); }

struct Decoded {
  bool ok;
  std::string error;
  AllocationLog log;
};

// Decodes header + count + `left` zero bytes (each three of them one sample
// of zeros), logging every allocation made meanwhile.
Decoded decode_with_count(uint64_t version, uint64_t count, size_t left) {
  Bytes bytes = header(version);
  put_varint(bytes, count);
  bytes.resize(bytes.size() + left, 0);
  g_log = {};
  g_log.on = true;
  auto r = decode_bytes(version, bytes.data(), bytes.size());
  g_log.on = false;
  return {r.ok(), r.ok() ? std::string() : debug_text(r.error()), g_log};
}

struct Case {
  const char* name;
  uint64_t count;
  size_t left;
  size_t upfront;  // elements reserved before the first sample, 0 for none
  bool ok;
};

class ForgedCounts : public ::testing::TestWithParam<std::tuple<uint64_t, Case>> {};

TEST_P(ForgedCounts, ReserveNoMoreThanTheRule) {
  const auto& [version, c] = GetParam();
  const Decoded d = decode_with_count(version, c.count, c.left);
  EXPECT_EQ(d.ok, c.ok) << d.error;
  if (!c.ok) {
    EXPECT_EQ(d.error, "PostcardError(DeserializeUnexpectedEnd)");
  }

  // Samples that can actually be present in the bytes left.
  const uint64_t present = std::min<uint64_t>(c.count, c.left / 3);
  if (c.upfront != 0) {
    EXPECT_EQ(d.log.first, c.upfront * kSample) << "the up-front reservation";
  } else if (present > 0) {
    EXPECT_EQ(d.log.first, 4 * kSample) << "nothing up front; the first growth is 4 samples";
  } else {
    EXPECT_EQ(d.log.count, 0u) << "no sample, no allocation";
  }
  // Beyond the reservation, the array at most doubles what has arrived.
  const uint64_t bound = std::max<uint64_t>({c.upfront, 2 * present, 4});
  EXPECT_LE(d.log.largest, bound * kSample);
}

const Case kCases[] = {
    {"count_max_few_bytes", UINT64_MAX, 9, 0, false},
    {"count_max_two_mib", UINT64_MAX, 2 << 20, 0, false},
    {"count_2_pow_63", uint64_t{1} << 63, 30, 0, false},
    {"just_above_left", 301, 300, 0, false},
    {"at_left", 300, 300, 300, false},
    {"just_below_left", 299, 300, 299, false},
    {"complete", 100, 300, 100, true},
    {"past_the_stack_complete", 200, 600, 200, true},
    {"past_the_stack_one_byte_short", 200, 599, 200, false},
    {"above_cap_at_left", 1 << 20, 1 << 20, kCap, false},
    {"cap_plus_one_complete", kCap + 1, 3 * (kCap + 1), kCap, true},
    {"empty_run", 0, 0, 0, true},
    {"zero_left", 1, 0, 0, false},
};

INSTANTIATE_TEST_SUITE_P(AllVersions, ForgedCounts,
                         ::testing::Combine(::testing::Values(1u, 2u, 3u), ::testing::ValuesIn(kCases)),
                         [](const auto& info) {
                           return "v" + std::to_string(std::get<0>(info.param)) + "_" +
                                  std::get<1>(info.param).name;
                         });


class FusedForgedCounts : public ::testing::TestWithParam<std::tuple<uint64_t, Case>> {};

TEST_P(FusedForgedCounts, AllocateNoMoreThanTheInputHolds) {
  const auto& [version, c] = GetParam();
  Bytes bytes = header(version);
  put_varint(bytes, c.count);
  bytes.resize(bytes.size() + c.left, 0);
  const std::string text = vorlane::testing::encode_base64(bytes);
  using vorlane::fused::Document;
  auto document = std::make_unique<Document>();  // (its own allocation is not logged)
  g_log = {};
  g_log.on = true;
  auto r = document->prepare(version, text);
  g_log.on = false;
  // Both paths agree on the outcome.
  EXPECT_EQ(r.ok(), c.ok) << (r.ok() ? "" : debug_text(r.error()));
  if (!c.ok) {
    EXPECT_EQ(debug_text(r.error()), "PostcardError(DeserializeUnexpectedEnd)");
  }

  const size_t byte_room = vorlane::base64::filled_capacity(text.size());
  const bool bytes_on_heap = byte_room > Document::kStackBytes;
  const bool samples_held = 3 * c.count <= c.left && c.count <= c.left;
  const bool samples_on_heap = samples_held && c.count > Document::kStackSamples;
  EXPECT_EQ(g_log.count, size_t{bytes_on_heap} + size_t{samples_on_heap});
  EXPECT_EQ(g_log.total, (bytes_on_heap ? byte_room : 0) +
                             (samples_on_heap ? static_cast<size_t>(c.count) * kSample : 0));
  // Whatever the count, the input bounds it all.
  EXPECT_LE(g_log.total, byte_room + 2 * c.left);
}

INSTANTIATE_TEST_SUITE_P(AllVersions, FusedForgedCounts,
                         ::testing::Combine(::testing::Values(1u, 2u, 3u), ::testing::ValuesIn(kCases)),
                         [](const auto& info) {
                           return "v" + std::to_string(std::get<0>(info.param)) + "_" +
                                  std::get<1>(info.param).name;
                         });

}  // namespace
