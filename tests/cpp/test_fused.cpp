// The fused document writer against the reference decoder, decode_b64 then
// to_json_text: same document or same error for every input.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "accel/entry.h"
#include "fused/document.h"
#include "fused/samples.h"
#include "json/document.h"
#include "cpu_paths.h"
#include "encode.h"
#include "debug_text.h"

using namespace vorlane;
using Bytes = std::vector<uint8_t>;

namespace {


// The document, then how many bytes of the payload its record took and
// how many it left.
std::string reference(uint64_t version, const std::string& text) {
  size_t payload = 0, record = 0;
  auto r = accel::decode_b64(version, text, &payload, &record);
  if (!r.ok()) return "error: " + accel::debug_text(r.error());
  return json::to_json_text(json::NCDataPayload{std::move(r).value()}) + " took " +
         std::to_string(record) + ", left " + std::to_string(payload - record);
}

std::string direct(uint64_t version, const std::string& text,
                   fused::SampleReader reader = cpu::chosen_path().reader,
                   fused::Writer writer = cpu::chosen_path().writer) {
  fused::Document doc;
  auto r = doc.prepare(version, text, reader);
  if (!r.ok()) return "error: " + accel::debug_text(r.error());
  // Nothing may be written past the length.
  std::string out(r.value() + 64, '#');
  EXPECT_EQ(doc.write(out.data(), out.size(), writer), out.data() + r.value());
  EXPECT_EQ(out.substr(r.value()), std::string(64, '#'));
  out.resize(r.value());
  return out + " took " + std::to_string(doc.record_bytes()) + ", left " +
         std::to_string(doc.bytes_left());
}

// Every sample reader and every writer this CPU has, against the reference.
void expect_same(uint64_t version, const Bytes& bytes) {
  const std::string text = vorlane::testing::encode_base64(bytes);
  const std::string expected = reference(version, text);
  for (const auto& reader : vorlane::testing::sample_readers()) {
    for (const auto& writer : vorlane::testing::writers()) {
      ASSERT_EQ(direct(version, text, reader.kernel, writer.kernel), expected)
          << "version " << version << ", " << bytes.size() << " bytes, reader of "
          << reader.path << ", writer of " << writer.path;
    }
  }
}

void put_varint(Bytes& out, uint64_t n, size_t extra_zero_groups = 0) {
  while (n >= 0x80 || extra_zero_groups != 0) {
    out.push_back(static_cast<uint8_t>(n | 0x80));
    if (n < 0x80) --extra_zero_groups;
    n >>= 7;
  }
  out.push_back(static_cast<uint8_t>(n));
}

void put_i16(Bytes& out, int16_t v, std::mt19937& rng) {
  const auto z = static_cast<uint16_t>((static_cast<uint16_t>(v) << 1) ^ static_cast<uint16_t>(v >> 15));
  // Now and then written longer than needed, which the wire format allows.
  const size_t natural = z < 0x80 ? 1 : z < 0x4000 ? 2 : 3;
  put_varint(out, z, rng() % 16 == 0 ? (3 - natural) : 0);
}

int16_t random_value(std::mt19937& rng) {
  switch (rng() % 6) {
    case 0: return static_cast<int16_t>(static_cast<int>(rng() % 129) - 64);
    case 1: return static_cast<int16_t>(static_cast<int>(rng() % 8193) - 4096);
    case 2: return static_cast<int16_t>(1000 + static_cast<int>(rng() % 600) - 300);
    case 3: return static_cast<int16_t>(rng());
    case 4: return rng() % 2 ? int16_t{-32768} : int16_t{32767};
    default: return static_cast<int16_t>(static_cast<int>(rng() % 40000) - 20000);
  }
}

Bytes random_payload(uint64_t version, size_t samples, std::mt19937& rng) {
  Bytes out;
  if (version == 1) {
    const uint64_t ts = rng() % 3 == 0 ? (uint64_t{rng()} << 32 | rng()) : rng() % 100000;
    put_varint(out, ts);
  } else {
    const uint32_t counts[4] = {3, 6, 3, 2};
    for (uint32_t c : counts) put_varint(out, rng() % c, rng() % 8 == 0 ? 1 : 0);
  }
  put_i16(out, random_value(rng), rng);
  put_varint(out, samples);
  for (size_t i = 0; i < 3 * samples; ++i) put_i16(out, random_value(rng), rng);
  return out;
}

TEST(DirectDocument, RandomValidPayloadsOfManySizes) {
  std::mt19937 rng(101);
  for (uint64_t version : {1, 2, 3}) {
    for (size_t n = 0; n < 200; ++n) expect_same(version, random_payload(version, n, rng));
    for (size_t n : {1000u, 5000u, 40000u}) expect_same(version, random_payload(version, n, rng));
  }
}

// Readings as devices send them: gravity near 1000 on z, noise of a few
// hundred, now and then a value at an int16 limit. Most values sit in the
// writer's table, so the wide text paths run on long stretches of them.
Bytes realistic_payload(uint64_t version, size_t samples, std::mt19937& rng, unsigned limit_every) {
  std::normal_distribution<double> noise(0.0, 300.0);
  Bytes out;
  if (version == 1) {
    put_varint(out, 3400000000246u);
  } else {
    out.insert(out.end(), {1, 3, 1, 1});
  }
  put_i16(out, 250, rng);
  put_varint(out, samples);
  for (size_t i = 0; i < 3 * samples; ++i) {
    int v = static_cast<int>(noise(rng)) + (i % 3 == 2 ? 1000 : 0);
    if (limit_every != 0 && rng() % limit_every == 0) v = rng() % 2 ? -32768 : 32767;
    put_i16(out, static_cast<int16_t>(std::clamp(v, -32768, 32767)), rng);
  }
  return out;
}

TEST(DirectDocument, RealisticReadingsOfManySizes) {
  std::mt19937 rng(404);
  for (uint64_t version : {1, 3}) {
    for (unsigned limit_every : {0u, 500u, 40u}) {
      for (size_t n = 0; n < 120; ++n) expect_same(version, realistic_payload(version, n, rng, limit_every));
      for (size_t n : {1000u, 4096u, 30000u}) {
        expect_same(version, realistic_payload(version, n, rng, limit_every));
      }
    }
  }
}

TEST(DirectDocument, EveryInt16ValueRendersAsTheWriterDoes) {
  Bytes bytes = {0, 0, 0, 0, 0};
  std::mt19937 rng(3);
  put_varint(bytes, 65536);
  for (int v = -32768; v < 32768; ++v) {
    put_i16(bytes, static_cast<int16_t>(v), rng);
    put_i16(bytes, static_cast<int16_t>(-1 - v), rng);
    put_i16(bytes, static_cast<int16_t>(v ^ 0x5555), rng);
  }
  expect_same(3, bytes);
  // The same values as the one sample of a short record, which is written
  // both wide and exactly at the end of the document.
  for (int v = -32768; v < 32768; ++v) {
    Bytes one = {0, 0, 0, 0, 0, 1};
    put_i16(one, static_cast<int16_t>(v), rng);
    put_i16(one, static_cast<int16_t>(-1 - v), rng);
    put_i16(one, static_cast<int16_t>(v ^ 0x5555), rng);
    expect_same(3, one);
  }
  // Every value in order, so that each run of them the vector writers take
  // whole (those of up to four digits) meets them all, and the blocks
  // around 10000 and the table's end hold both kinds.
  Bytes ordered = {0, 0, 0, 0, 0};
  put_varint(ordered, 65536 / 3);
  for (int v = -32768; v < -32768 + 3 * (65536 / 3); ++v) put_i16(ordered, static_cast<int16_t>(v), rng);
  expect_same(3, ordered);
}

TEST(DirectDocument, TimestampsAroundEveryPowerOfTenAndTwo) {
  std::vector<int64_t> stamps = {0, INT64_MAX, INT64_MIN, INT64_MIN + 1};
  for (uint64_t p = 1; p <= 1000000000000000000u; p *= 10) {
    for (int64_t d : {-1, 0, 1}) stamps.push_back(static_cast<int64_t>(p) + d);
  }
  stamps.push_back(static_cast<int64_t>(10000000000000000000u - 1));  // twenty digits, negative
  for (int k = 0; k < 64; ++k) stamps.push_back(static_cast<int64_t>(uint64_t{1} << k) - 1);
  std::mt19937 rng(8);
  for (int i = 0; i < 200; ++i) stamps.push_back(static_cast<int64_t>(uint64_t{rng()} << 32 | rng()) >> (rng() % 64));
  for (int64_t stamp : std::vector<int64_t>(stamps)) {
    stamps.push_back(static_cast<int64_t>(0 - static_cast<uint64_t>(stamp)));
  }
  for (int64_t stamp : stamps) {
    Bytes bytes;
    put_varint(bytes, (static_cast<uint64_t>(stamp) << 1) ^ static_cast<uint64_t>(stamp >> 63));
    bytes.insert(bytes.end(), {0x32, 0x01, 0x02, 0x04, 0x06});
    expect_same(1, bytes);
  }
}

TEST(DirectDocument, PayloadsCutAtEveryByte) {
  std::mt19937 rng(5);
  for (uint64_t version : {0, 1, 2, 3, 4}) {
    for (int round = 0; round < 4; ++round) {
      const Bytes full = random_payload(version == 0 || version == 4 ? 3 : version, 30, rng);
      for (size_t n = 0; n <= full.size(); ++n) expect_same(version, Bytes(full.begin(), full.begin() + static_cast<long>(n)));
    }
  }
}

TEST(DirectDocument, SettingsTagBytesAtAndAroundTheirLimits) {
  // Each of the four tags as every byte near its variant count, one-byte and
  // longer forms, with the record going on or cut short after them.
  const uint8_t bytes[] = {0, 1, 2, 3, 4, 5, 6, 7, 0x7F, 0x80, 0x81, 0xFF};
  for (uint8_t a : bytes) {
    for (uint8_t b : bytes) {
      for (uint8_t c : bytes) {
        for (uint8_t d : bytes) {
          const Bytes full = {a, b, c, d, 0x01, 0x00, 0x32, 0x01, 0x00, 0x01};
          for (size_t n : {size_t{3}, size_t{4}, size_t{5}, size_t{6}, full.size()}) {
            expect_same(3, Bytes(full.begin(), full.begin() + static_cast<long>(n)));
          }
        }
      }
    }
  }
}

TEST(DirectDocument, EverySettingsCombinationWithTemperaturesAroundTheTable) {
  std::mt19937 rng(6);
  const int16_t temperatures[] = {0, -1, 25, 4095, -4095, 4096, -4096, 32767, -32768};
  for (uint64_t version : {2, 3}) {
    for (uint8_t range = 0; range < 3; ++range) {
      for (uint8_t freq = 0; freq < 6; ++freq) {
        for (uint8_t noise = 0; noise < 3; ++noise) {
          for (uint8_t antialias = 0; antialias < 2; ++antialias) {
            for (int16_t temperature : temperatures) {
              Bytes bytes = {range, freq, noise, antialias};
              put_i16(bytes, temperature, rng);
              bytes.push_back(static_cast<uint8_t>(rng() % 3));
              for (int i = 0; i < 9; ++i) put_i16(bytes, random_value(rng), rng);
              expect_same(version, bytes);
            }
          }
        }
      }
    }
  }
}

TEST(DirectDocument, EveryTemperatureRendersAsTheWriterDoes) {
  std::mt19937 rng(7);
  for (uint64_t version : {1, 3}) {
    for (int v = -32768; v < 32768; ++v) {
      Bytes bytes = version == 1 ? Bytes{0x9A, 0x05} : Bytes{2, 5, 2, 1};
      put_i16(bytes, static_cast<int16_t>(v), rng);
      bytes.push_back(0);
      expect_same(version, bytes);
    }
  }
}

TEST(DirectDocument, RandomlyDamagedPayloads) {
  std::mt19937 rng(9);
  const uint8_t nasty[] = {0x80, 0xFF, 0x03, 0x04, 0x7F, 0x00, 0x83, 0x10, 0x0F};
  for (int round = 0; round < 6000; ++round) {
    const uint64_t version = 1 + rng() % 3;
    Bytes bytes = random_payload(version, rng() % 60, rng);
    const int damage = 1 + static_cast<int>(rng() % 3);
    for (int d = 0; d < damage && !bytes.empty(); ++d) {
      const size_t at = rng() % bytes.size();
      bytes[at] = rng() % 2 ? nasty[rng() % sizeof nasty] : static_cast<uint8_t>(rng());
    }
    if (rng() % 4 == 0) bytes.resize(rng() % (bytes.size() + 1));
    if (rng() % 4 == 0) bytes.insert(bytes.end(), {0xFF, 0xFF, 0x80});  // trailing bytes
    expect_same(version, bytes);
  }
}

TEST(DirectDocument, RandomBytes) {
  std::mt19937 rng(21);
  for (int round = 0; round < 6000; ++round) {
    Bytes bytes(rng() % 80);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() % 4 : rng());
    expect_same(1 + rng() % 3, bytes);
  }
}

TEST(DirectDocument, CountsThatTheBytesCannotHold) {
  for (uint64_t version : {1, 3}) {
    for (uint64_t count : {1ull, 2ull, 7ull, 1000000ull, 18446744073709551615ull}) {
      for (size_t have : {0u, 1u, 2u, 5u}) {
        Bytes bytes = version == 1 ? Bytes{0, 0} : Bytes{0, 0, 0, 0, 0};
        put_varint(bytes, count);
        for (size_t i = 0; i < have * 3; ++i) bytes.push_back(static_cast<uint8_t>(i % 5 == 4 ? 0x80 : 2));
        expect_same(version, bytes);
        bytes.push_back(0xFF);
        bytes.push_back(0xFF);
        bytes.push_back(0x07);  // a bad varint before the end
        expect_same(version, bytes);
      }
    }
  }
}

// Where the record ends, as every reader finds it: bytes of any value after
// records of every length, across the window and word readers' limits.
TEST(DirectDocument, BytesAfterTheRecordAreLeftAndCounted) {
  std::mt19937 rng(31);
  for (uint64_t version : {1, 2, 3}) {
    for (size_t samples = 0; samples < 40; ++samples) {
      const Bytes record = random_payload(version, samples, rng);
      for (size_t after = 0; after < 80; after += 1 + after / 8) {
        Bytes bytes = record;
        for (size_t i = 0; i < after; ++i) bytes.push_back(static_cast<uint8_t>(rng()));
        expect_same(version, bytes);
      }
    }
  }
}

// Long runs as the vector readers see them: 64-byte windows read whole
// samples at a time, the rest left to the word and byte readers.

size_t natural_length(uint16_t v) { return v < 0x80 ? 1 : v < 0x4000 ? 2 : 3; }

// A v3 record of the given wire values, each written in the given number of
// bytes (1 to 3; a longer form than needed where the value is small).
Bytes record_of(const std::vector<uint16_t>& values, const std::vector<uint8_t>& lengths,
                const Bytes& after = {}) {
  Bytes out = {1, 3, 1, 1, 0};
  put_varint(out, values.size() / 3);
  for (size_t i = 0; i < values.size(); ++i) {
    const size_t natural = natural_length(values[i]);
    put_varint(out, values[i], lengths[i] > natural ? lengths[i] - natural : 0);
  }
  out.insert(out.end(), after.begin(), after.end());
  return out;
}

// The largest wire value of each length, and a small one for the longer
// forms: where the 7-bit groups of a lane join and its text length turns.
uint16_t value_of_length(size_t length, size_t i) {
  static const uint16_t kShort[] = {0, 1, 18, 19, 127};
  static const uint16_t kMiddle[] = {128, 198, 199, 1998, 1999, 16383};
  static const uint16_t kLong[] = {16384, 19998, 19999, 65535, 65534, 3};
  if (length == 1) return kShort[i % std::size(kShort)];
  if (length == 2) return kMiddle[i % std::size(kMiddle)];
  return kLong[i % std::size(kLong)];
}

// Runs of every kind: ones whose whole input is one 64-byte window (the
// usual device message), short ones, and ones long enough for readers that
// step through windows whatever they hold (from a few hundred bytes).
constexpr size_t kRunSamples[] = {4, 6, 48, 160};

TEST(DirectDocument, VarintsOfEveryLengthAtEveryPlaceOfAWindow) {
  // Runs of one length with one varint of another at each place, over
  // several windows; each ends at its own place inside a window. A
  // one-byte varint first puts the others' bytes at odd places, so that a
  // long one can straddle two windows.
  for (size_t run : kRunSamples) {
    for (size_t around = 1; around <= 3; ++around) {
      for (size_t odd = 1; odd <= 3; ++odd) {
        for (size_t at = 0; at < 140 + 140 * (around == 2); ++at) {
          const size_t samples = run + at % 7;
          const size_t lead = at >= 140 ? 1 : 0;
          std::vector<uint16_t> values;
          std::vector<uint8_t> lengths;
          for (size_t i = 0; i < 3 * samples; ++i) {
            const size_t length = i == at - 140 * lead ? odd : i < lead ? 1 : around;
            values.push_back(value_of_length(length, i));
            lengths.push_back(static_cast<uint8_t>(length));
          }
          expect_same(3, record_of(values, lengths));
        }
      }
    }
  }
}

TEST(DirectDocument, MixedLengthsInRunsOfEveryCount) {
  // Counts that are no multiple of a window's samples, with the run ending
  // anywhere in the last window and near the end of the input.
  std::mt19937 rng(55);
  for (size_t samples = 0; samples < 400; samples += samples < 160 ? 1 : 3) {
    for (int round = 0; round < 3; ++round) {
      std::vector<uint16_t> values;
      std::vector<uint8_t> lengths;
      const unsigned longest = 1 + round;  // dense, middle and wide runs
      for (size_t i = 0; i < 3 * samples; ++i) {
        const size_t length = 1 + rng() % longest;
        values.push_back(value_of_length(length, rng()));
        lengths.push_back(static_cast<uint8_t>(length));
      }
      expect_same(3, record_of(values, lengths));
    }
  }
}

TEST(DirectDocument, FaultsAtEveryPlaceOfALongRun) {
  // A varint of four bytes, a third byte above 3, or a run of continuation
  // bytes to the end, at each value of runs of every width: the reference's
  // error and offset, whichever window the fault falls in.
  const Bytes faults[] = {{0x80, 0x80, 0x80, 0x00}, {0xFF, 0xFF, 0x04}, {0x80, 0x80, 0x7F},
                          {0xFF, 0xFF, 0xFF, 0xFF, 0x03}};
  for (size_t run : kRunSamples) {
    for (size_t around = 1; around <= 3; ++around) {
      for (const Bytes& fault : faults) {
        for (size_t at = 0; at < 130; ++at) {
          Bytes bytes = {1, 3, 1, 1, 0};
          put_varint(bytes, run);
          for (size_t i = 0; i < 3 * run; ++i) {
            if (i == at) {
              bytes.insert(bytes.end(), fault.begin(), fault.end());
            } else {
              const uint16_t v = value_of_length(around, i);
              put_varint(bytes, v, around - natural_length(v));
            }
          }
          expect_same(3, bytes);
          // Cut short: the run ends in continuation bytes.
          bytes.resize(bytes.size() - 1 - at % 5);
          expect_same(3, bytes);
        }
      }
    }
  }
}

TEST(DirectDocument, RunsEndingAtEveryDistanceFromTheInputEnd) {
  // The vector readers load up to 80 bytes past where they stand, and the
  // input has only eight padding bytes past its end: records of every
  // length followed by 0 to 40 bytes that end nothing, end everything, or
  // look like more samples.
  const uint8_t fills[] = {0x80, 0xFF, 0x00, 0x02};
  for (size_t samples = 20; samples < 170; samples += samples == 39 ? 111 : 1) {
    for (size_t width = 1; width <= 3; ++width) {
      std::vector<uint16_t> values;
      for (size_t i = 0; i < 3 * samples; ++i) values.push_back(value_of_length(width, i));
      const std::vector<uint8_t> lengths(values.size(), static_cast<uint8_t>(width));
      for (uint8_t fill : fills) {
        for (size_t after = 0; after <= 40; ++after) {
          expect_same(3, record_of(values, lengths, Bytes(after, fill)));
        }
      }
    }
  }
}

// A value of `length` characters (1 to 6), of either sign where the length
// allows one, of a magnitude up to `most`: 4095, which the text table
// holds, 9999, the most the AVX-512 writer takes a block at a time, or any.
int16_t value_of_length(unsigned length, int most, std::mt19937& rng) {
  static constexpr int kLow[] = {0, 0, 10, 100, 1000, 10000};
  static constexpr int kHigh[] = {0, 9, 99, 999, 9999, 32767};
  // Five characters below 10000 are a sign and four digits.
  const bool negative = length >= 2 && (rng() % 2 == 0 || kLow[length] > most);
  const unsigned digits = negative ? length - 1 : length;
  const int high = std::min(kHigh[digits], most);
  const int magnitude = kLow[digits] + static_cast<int>(rng() % (high - kLow[digits] + 1));
  return static_cast<int16_t>(negative ? -magnitude : magnitude);
}

// Long runs (the vector writers' loops) around the counts where they start
// and their blocks end, with every combination of value lengths at x, y and
// z, and each one at every place of the run, so that the lengths before a
// sample move where it lands against the stores' widths: table values only
// (up to five characters), up to 9999 (also five), and all lengths, where
// blocks hold values past both.
TEST(DirectDocument, EveryValueLengthInEveryPositionOfLongRuns) {
  std::mt19937 rng(909);
  for (int most : {4095, 9999, 32767}) {
    const unsigned longest = most < 10000 ? 5 : 6;
    std::vector<std::array<unsigned, 3>> combos;
    for (unsigned x = 1; x <= longest; ++x) {
      for (unsigned y = 1; y <= longest; ++y) {
        for (unsigned z = 1; z <= longest; ++z) combos.push_back({x, y, z});
      }
    }
    for (size_t samples : {17u, 18u, 19u, 25u, 26u, 27u, 34u, 35u, 63u, 64u, 65u, 66u, 67u, 100u,
                           127u, 128u, 129u, 300u}) {
      for (size_t shift = 0; shift < combos.size(); shift += 7) {
        Bytes bytes = {1, 3, 1, 1};
        put_i16(bytes, 250, rng);
        put_varint(bytes, samples);
        for (size_t i = 0; i < samples; ++i) {
          for (unsigned length : combos[(i + shift) % combos.size()]) {
            put_i16(bytes, value_of_length(length, most, rng), rng);
          }
        }
        expect_same(3, bytes);
      }
    }
  }
}

// The vector readers may store past the values they keep where the run has
// room, never past its end (the document's buffer ends there): runs of
// every count from one long stretch of samples, guard values after each.
TEST(SampleReaders, StopAtTheRunsEndAndAgreeWithThePortableReader) {
  std::mt19937 rng(11);
  Bytes bytes;
  for (size_t i = 0; i < 3 * 120; ++i) put_i16(bytes, random_value(rng), rng);
  const size_t size = bytes.size();
  bytes.insert(bytes.end(), 8, 0xFF);  // padding past the end, top bits set
  constexpr uint16_t kGuard = 0xA5A5;
  constexpr size_t kGuards = 32;
  struct Read {
    std::vector<uint16_t> values;
    size_t text = 0;
    ptrdiff_t taken = 0;
    bool operator==(const Read&) const = default;
  };
  for (size_t samples = 1; samples <= 100; ++samples) {
    const size_t n = 3 * samples;
    const auto read = [&](fused::SampleReader reader, std::string_view name) {
      std::vector<uint16_t> out(n + kGuards, kGuard);
      const uint8_t* p = bytes.data();
      Read got;
      wire::WireError error{};
      EXPECT_TRUE(reader(bytes.data(), p, bytes.data() + size, out.data(), out.data() + n,
                         got.text, error))
          << samples << " samples, reader of " << name;
      EXPECT_EQ(std::vector<uint16_t>(out.begin() + n, out.end()),
                std::vector<uint16_t>(kGuards, kGuard))
          << samples << " samples, reader of " << name;
      got.values.assign(out.begin(), out.begin() + n);
      got.taken = p - bytes.data();
      return got;
    };
    const Read expected = read(fused::read_samples_portable, "portable");
    for (const auto& [name, reader] : vorlane::testing::sample_readers()) {
      EXPECT_TRUE(read(reader, name) == expected) << samples << " samples, reader of " << name;
    }
  }
}

// Every splitter against zigzag decoding value by value, for every count
// around its vector steps, leaving the columns' next values alone.
TEST(Splitters, AgreeWithZigzagDecoding) {
  std::mt19937 rng(5);
  std::vector<uint16_t> wire(3 * 200);
  for (auto& v : wire) v = static_cast<uint16_t>(rng());
  wire[0] = 0xFFFF, wire[1] = 0xFFFE, wire[2] = 0, wire[4] = 1;
  for (size_t count = 0; count <= 200; count += count < 70 ? 1 : 43) {
    std::vector<int16_t> expected(3 * count);
    for (size_t i = 0; i < count; ++i) {
      for (size_t k = 0; k < 3; ++k) expected[k * count + i] = wire::zigzag_decode(wire[3 * i + k]);
    }
    for (const auto& [name, split] : vorlane::testing::splitters()) {
      std::vector<int16_t> axes(3 * (count + 1), 0x5A5A);
      split(wire.data(), count, axes.data(), axes.data() + count + 1, axes.data() + 2 * (count + 1));
      for (size_t k = 0; k < 3; ++k) {
        const auto* axis = axes.data() + k * (count + 1);
        EXPECT_TRUE(std::equal(axis, axis + count, expected.data() + k * count))
            << count << " samples, axis " << k << ", splitter of " << name;
        EXPECT_EQ(axis[count], 0x5A5A) << count << " samples, splitter of " << name;
      }
    }
  }
}

TEST(DirectDocument, TextErrorsAndVersionsPassThrough) {
  for (const char* text : {"", "QUJD\n", "A", "QR==", "QQ", "AQMBATICAQTQDwDXBP//Aw==", "AAAA"}) {
    for (uint64_t version : {0ull, 1ull, 2ull, 3ull, 4ull, 18446744073709551615ull}) {
      EXPECT_EQ(direct(version, text), reference(version, text)) << text << " " << version;
    }
  }
}

}  // namespace

// The checked write: given less room than the document, write stores
// nothing past that room and does not return the document's end, so a
// caller comparing the two notices; given the exact room, it returns it.
// Every room from 0 to the length, for documents of every version and of
// short, wide and long runs (the long-run loop checks its room in rounds).
TEST(DirectDocument, WriteNeverStoresPastItsRoom) {
  std::mt19937 rng(77);
  for (uint64_t version : {1, 2, 3}) {
    for (size_t samples : {0u, 1u, 2u, 5u, 18u, 26u, 27u, 63u, 64u, 65u, 66u, 200u}) {
      // Realistic readings in the text table, now and then at a limit, and
      // runs of the widest values.
      for (unsigned limit_every : {0u, 7u, 1u}) {
        Bytes bytes = realistic_payload(version, samples, rng, limit_every);
        const std::string text = vorlane::testing::encode_base64(bytes);
        fused::Document doc;
        auto r = doc.prepare(version, text);
        ASSERT_TRUE(r.ok());
        const size_t length = r.value();
        ASSERT_EQ(doc.length(), length);
        const std::string expected = reference(version, text).substr(0, length);
        std::string out(length + 64, '#');
        for (const auto& [name, writer] : vorlane::testing::writers()) {
          for (size_t room = 0; room <= length + 40; ++room) {
            std::fill(out.begin(), out.end(), '#');
            char* const stop = doc.write(out.data(), room, writer);
            const size_t bound = std::min(room, length);
            const auto where = ::testing::Message()
                               << "version " << version << ", " << samples << " samples, writer of "
                               << name << ", room " << room << " of " << length;
            ASSERT_LE(stop, out.data() + bound) << where;
            ASSERT_EQ(out.substr(bound), std::string(out.size() - bound, '#')) << where;
            if (room < length) {
              ASSERT_NE(stop, out.data() + length) << where;
            } else {
              ASSERT_EQ(stop, out.data() + length) << where;
              ASSERT_EQ(out.substr(0, length), expected) << where;
            }
          }
        }
      }
    }
  }
}
