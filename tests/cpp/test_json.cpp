#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

#include "json/writer.h"

using vorlane::json::JsonWriter;

namespace {

std::string escaped(std::string_view text) {
  JsonWriter w;
  w.format_escaped_str(text);
  return std::string(w.text());
}

TEST(EscapeTable, EveryByte) {
  for (int b = 0; b < 256; ++b) {
    const std::string in(1, static_cast<char>(b));
    std::string expected;
    switch (b) {
      case '"': expected = "\\\""; break;
      case '\\': expected = "\\\\"; break;
      case 0x08: expected = "\\b"; break;
      case 0x09: expected = "\\t"; break;
      case 0x0A: expected = "\\n"; break;
      case 0x0C: expected = "\\f"; break;
      case 0x0D: expected = "\\r"; break;
      default:
        if (b < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", b);
          expected = buf;
        } else {
          expected = in;  // '/', 0x7F and bytes >= 0x80 are copied unchanged
        }
    }
    EXPECT_EQ(escaped(in), "\"" + expected + "\"") << "byte " << b;
  }
}

TEST(EscapeTable, RunsAroundEscapes) {
  EXPECT_EQ(escaped(""), "\"\"");
  EXPECT_EQ(escaped("F12_5Hz"), "\"F12_5Hz\"");
  EXPECT_EQ(escaped("a\"b\\c\x01" "d\x1f"), "\"a\\\"b\\\\c\\u0001d\\u001f\"");
  EXPECT_EQ(escaped("\xc3\xa9/\x7f"), "\"\xc3\xa9/\x7f\"");
}

TEST(Integers, LimitsAndDigitPairBoundaries) {
  struct Row16 { int16_t v; const char* text; };
  for (const auto& r : {Row16{0, "0"}, Row16{-1, "-1"}, Row16{9, "9"}, Row16{10, "10"},
                        Row16{99, "99"}, Row16{100, "100"}, Row16{-300, "-300"},
                        Row16{1000, "1000"}, Row16{32767, "32767"}, Row16{-32768, "-32768"}}) {
    JsonWriter w;
    w.write_i16(r.v);
    EXPECT_EQ(w.text(), r.text);
  }
  struct Row64 { int64_t v; const char* text; };
  for (const auto& r : {Row64{0, "0"}, Row64{1700000000123, "1700000000123"},
                        Row64{INT64_MAX, "9223372036854775807"},
                        Row64{INT64_MIN, "-9223372036854775808"},
                        Row64{-10, "-10"}, Row64{1000000000000000000, "1000000000000000000"}}) {
    JsonWriter w;
    w.write_i64(r.v);
    EXPECT_EQ(w.text(), r.text);
  }
}

TEST(Integers, AgreeWithPrintfOnRandomValues) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < 20000; ++i) {
    const auto v64 = static_cast<int64_t>(rng() >> (rng() % 64));
    const int64_t signed64 = (rng() & 1) ? v64 : -v64;
    const auto v16 = static_cast<int16_t>(rng());
    JsonWriter w;
    w.write_i64(signed64);
    w.write_i16(v16);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%lld%d", static_cast<long long>(signed64), v16);
    ASSERT_EQ(w.text(), buf);
  }
}

TEST(Writer, CompactSeparatorsAndNesting) {
  JsonWriter w;
  w.begin_object();
  w.serialize_entry("a", int16_t{1});
  w.write_key("b");
  w.begin_array();
  for (int16_t i = 0; i < 3; ++i) {
    w.begin_element();
    w.begin_object();
    w.serialize_entry("x", i);
    w.serialize_entry("y", int64_t{-i});
    w.end_object();
  }
  w.end_array();
  w.write_key("c");
  w.begin_array();
  w.end_array();
  w.end_object();
  EXPECT_EQ(w.text(), R"({"a":1,"b":[{"x":0,"y":0},{"x":1,"y":-1},{"x":2,"y":-2}],"c":[]})");
}

TEST(Writer, StartsAt128AndGrowsGeometrically) {
  JsonWriter w;
  EXPECT_GE(w.capacity(), JsonWriter::kInitialCapacity);
  const size_t start = w.capacity();
  std::string expected;
  w.begin_array();
  expected += '[';
  size_t last_capacity = start;
  for (int16_t i = 0; i < 5000; ++i) {
    w.begin_element();
    w.write_i16(i);
    if (i) expected += ',';
    expected += std::to_string(i);
    if (w.capacity() != last_capacity) {
      EXPECT_GE(w.capacity(), 2 * last_capacity);
      last_capacity = w.capacity();
    }
  }
  w.end_array();
  expected += ']';
  EXPECT_EQ(w.text(), expected);
}

}  // namespace
