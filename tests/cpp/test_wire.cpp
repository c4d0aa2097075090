#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "accel/v3.h"
#include "wire/deserializer.h"

using namespace vorlane::wire;
using vorlane::Result;
using Bytes = std::vector<uint8_t>;

namespace {

// Outcome of one read: the value or the error, plus the bytes consumed.
template <class T>
struct Outcome {
  std::optional<T> value;
  std::optional<WireError> error;
  size_t consumed = 0;
};

template <class T, class F>
Outcome<T> run(const Bytes& bytes, F read) {
  Deserializer de(bytes.data(), bytes.data() + bytes.size());
  auto r = read(de);
  Outcome<T> out;
  if (r.ok()) out.value = static_cast<T>(r.value()); else out.error = r.error();
  out.consumed = static_cast<size_t>(de.cursor() - bytes.data());
  return out;
}

template <class T>
struct Row {
  Bytes bytes;
  std::optional<T> value;
  std::optional<WireError> error;
  size_t consumed;
};

constexpr auto End = WireError::DeserializeUnexpectedEnd;
constexpr auto Bad = WireError::DeserializeBadVarint;
constexpr auto Custom = WireError::SerdeDeCustom;

template <class T, class F>
void check_rows(const std::vector<Row<T>>& rows, F read) {
  for (const auto& row : rows) {
    auto got = run<T>(row.bytes, read);
    std::string where;
    for (auto b : row.bytes) where += std::to_string(b) + " ";
    EXPECT_EQ(got.value, row.value) << where;
    EXPECT_EQ(got.error, row.error) << where;
    EXPECT_EQ(got.consumed, row.consumed) << where;
  }
}

TEST(Varint, U16) {
  check_rows<uint16_t>(
      {
          {{0x00}, 0, {}, 1},
          {{0x7F}, 127, {}, 1},
          {{0x80, 0x01}, 128, {}, 2},
          {{0xFF, 0xFF, 0x03}, 65535, {}, 3},
          {{0x80, 0x00}, 0, {}, 2},
          {{0x80, 0x80, 0x00}, 0, {}, 3},
          {{0x80, 0x80, 0x04}, {}, Bad, 3},
          {{0x80, 0x80, 0x80}, {}, Bad, 3},
          {{0x80, 0x80, 0x80, 0x00}, {}, Bad, 3},
          {{}, {}, End, 0},
          {{0x80}, {}, End, 1},
          {{0xFF, 0xFF}, {}, End, 2},
          {{0x05, 0xFF}, 5, {}, 1},
      },
      try_take_varint_u16);
}

TEST(Varint, U32) {
  check_rows<uint32_t>(
      {
          {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, 4294967295u, {}, 5},
          {{0x80, 0x80, 0x80, 0x80, 0x10}, {}, Bad, 5},
          {{0x80, 0x80, 0x80, 0x80, 0x80}, {}, Bad, 5},
          {{0x80, 0x00}, 0, {}, 2},
          {{0x80, 0x80, 0x80, 0x80}, {}, End, 4},
          {{0xE5, 0x8E, 0x26}, 624485, {}, 3},
      },
      try_take_varint_u32);
}

TEST(Varint, U64) {
  check_rows<uint64_t>(
      {
          {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, UINT64_MAX, {}, 10},
          {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02}, {}, Bad, 10},
          {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x81}, {}, Bad, 10},
          {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, uint64_t{1} << 63, {}, 10},
          {{0x80, 0x00}, 0, {}, 2},
          {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}, {}, End, 9},
      },
      try_take_varint_u64);
}

TEST(Zigzag, SixteenAndSixtyFourBits) {
  check_rows<int16_t>(
      {
          {{0x00}, 0, {}, 1},
          {{0x01}, -1, {}, 1},
          {{0x02}, 1, {}, 1},
          {{0x03}, -2, {}, 1},
          {{0x32}, 25, {}, 1},
          {{0xFE, 0xFF, 0x03}, 32767, {}, 3},
          {{0xFF, 0xFF, 0x03}, -32768, {}, 3},
          {{0x80, 0x80, 0x04}, {}, Bad, 3},
      },
      try_take_zigzag_i16);
  check_rows<int64_t>(
      {
          {{0x01}, -1, {}, 1},
          {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, INT64_MIN, {}, 10},
          {{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, INT64_MAX, {}, 10},
          {{0xF6, 0xA1, 0xAB, 0xFE, 0xF9, 0x62}, 1700000000123, {}, 6},
      },
      try_take_zigzag_i64);
}

TEST(EnumTag, RangeTestAfterTheVarint) {
  auto tag_of = [](uint32_t count) {
    return [count](Deserializer& de) { return try_take_enum_tag(de, count); };
  };
  check_rows<uint32_t>({{{0x02}, 2, {}, 1}, {{0x03}, {}, Custom, 1}, {{0x80, 0x00}, 0, {}, 2},
                        {{0x81, 0x80, 0x80, 0x80, 0x00}, 1, {}, 5},
                        {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, {}, Custom, 5},
                        {{0x80, 0x80, 0x80, 0x80, 0x10}, {}, Bad, 5},
                        {{}, {}, End, 0}},
                       tag_of(3));
  check_rows<uint32_t>({{{0x05}, 5, {}, 1}, {{0x06}, {}, Custom, 1}}, tag_of(6));
  check_rows<uint32_t>({{{0x01}, 1, {}, 1}, {{0x02}, {}, Custom, 1}}, tag_of(2));
}

TEST(Sequence, UpfrontReservationRule) {
  struct R {
    uint64_t count;
    size_t remaining;
    size_t reserved;
  };
  const R rows[] = {
      {0, 0, 0},           {3, 3, 3},           {3, 2, 0},
      {174762, 174762, 174762}, {174763, 1 << 20, 174762}, {200000, 200000, 174762},
      {1000000, 10, 0},    {UINT64_MAX, 1 << 20, 0}, {UINT64_MAX, SIZE_MAX, 174762},
  };
  for (const R& r : rows) EXPECT_EQ(upfront_reservation(r.count, r.remaining), r.reserved) << r.count;
}

using vorlane::accel::v3::AccelSample;

Result<std::vector<AccelSample>, WireError> read_samples(Deserializer& de) {
  return try_take_sequence<AccelSample>(de, AccelSample::deserialize);
}

Bytes count_then_zero_samples(uint64_t count_bytes_value, size_t samples, size_t extra = 0) {
  Bytes bytes;
  uint64_t n = count_bytes_value;
  do {
    uint8_t b = n & 0x7F;
    n >>= 7;
    bytes.push_back(n ? (b | 0x80) : b);
  } while (n);
  bytes.resize(bytes.size() + samples * 3 + extra, 0);
  return bytes;
}

TEST(Sequence, CountsAndFailures) {
  {
    Bytes bytes = {0x00, 0x07};
    Deserializer de(bytes.data(), bytes.data() + bytes.size());
    auto r = read_samples(de);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.value().empty());
    EXPECT_EQ(de.remaining(), 1u);  // only the count byte was consumed
  }
  {
    // Count one million, ten zero bytes: three samples, then the end.
    Bytes bytes = count_then_zero_samples(1000000, 0, 10);
    Deserializer de(bytes.data(), bytes.data() + bytes.size());
    auto r = read_samples(de);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), End);
    EXPECT_EQ(de.remaining(), 0u);
  }
  {
    Bytes bytes = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02, 0x04, 0x06};
    Deserializer de(bytes.data(), bytes.data() + bytes.size());
    auto r = read_samples(de);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), End);
  }
  {
    Bytes bytes = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02};
    Deserializer de(bytes.data(), bytes.data() + bytes.size());
    auto r = read_samples(de);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), Bad);
  }
}

TEST(Sequence, ReservesThenGrowsGeometrically) {
  {
    Bytes bytes = count_then_zero_samples(200000, 200000);
    Deserializer de(bytes.data(), bytes.data() + bytes.size());
    auto r = read_samples(de);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().size(), 200000u);
    // 174762 up front, then doubled once.
    EXPECT_EQ(r.value().capacity(), 2u * 174762u);
  }
  {
    Bytes bytes = count_then_zero_samples(5, 5);
    Deserializer de(bytes.data(), bytes.data() + bytes.size());
    auto r = read_samples(de);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().capacity(), 5u);
  }
  {
    // Elements that take no bytes: the count exceeds what is left, so
    // nothing is reserved and the vector grows 4, 8, 16.
    Bytes bytes = {10};
    Deserializer de(bytes.data(), bytes.data() + bytes.size());
    auto r = try_take_sequence<int>(de, [](Deserializer&) -> Result<int, WireError> { return 7; });
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().size(), 10u);
    EXPECT_EQ(r.value().capacity(), 16u);
  }
}

}  // namespace
