// The text of a document on the fast path, described once: its fixed
// fragments, and the head as one routine that runs on a measuring sink (in
// prepare) and on a writing sink (in write), so the two cannot disagree.
// Value texts come from one table (text_entry in tables.cpp), whose length
// byte is what both the measure and the writer use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fused/tables.h"
#include "json/decimal.h"

namespace vorlane::fused::text {

// {"Accel":{"V1":{"timestamp":<t>,"acc_temp":<v>,"samples":[<samples>]}}}
// {"Accel":{"V3":{"range":"..","freq":"..","noise":"..","antialias":"..",
//   "acc_temp":<v>,"samples":[<samples>]}}}   (the settings heads table)
// a sample: {"x":<x>,"y":<y>,"z":<z>}, with "," before all but the first.
constexpr std::string_view kV1Head = R"({"Accel":{"V1":{"timestamp":)";
constexpr std::string_view kAccTemp = R"(,"acc_temp":)";
constexpr std::string_view kSamplesOpen = R"(,"samples":[)";
constexpr std::string_view kFirstX = "{\"x\":";
constexpr std::string_view kNextX = "},{\"x\":";  // closes the sample before
constexpr std::string_view kY = ",\"y\":";
constexpr std::string_view kZ = ",\"z\":";
constexpr std::string_view kCloseAll = "}]}}}";  // the last sample's "}" and the frame
constexpr std::string_view kCloseEmpty = "]}}}";

// Fixed characters one sample adds: its x, y and z fragments and its "}";
// the "," before it is counted too, so a run of n > 0 samples has
// n * kSampleFixed - 1 fixed characters.
constexpr size_t kSampleFixed = kNextX.size() + kY.size() + kZ.size();
static_assert(kSampleFixed == kFirstX.size() + kY.size() + kZ.size() + 1 + 1,
              "\"},{\" is the closing brace, the comma and the opening brace");
static_assert(kCloseAll.size() == kCloseEmpty.size() + 1, "the last sample's brace");
static_assert(kAccTemp.size() + kSamplesOpen.size() >= 8,
              "the wide timestamp store ends inside what follows it");

// The widest sample text: three values of six characters ("-32768").
constexpr size_t kMaxValueText = 6;
constexpr size_t kMaxSampleText = kSampleFixed + 3 * kMaxValueText;
inline size_t value_length(uint16_t u) noexcept { return kTextLength[u]; }

// Counts characters.
struct Measure {
  size_t size = 0;
  void fragment(std::string_view s) noexcept { size += s.size(); }
  void i64(int64_t v) noexcept {
    size += (v < 0 ? 1 : 0) + json::decimal::digits(json::decimal::magnitude(v));
  }
  void value(uint16_t u) noexcept { size += value_length(u); }
  void settings(const SettingsHead& head, uint64_t) noexcept { size += head.size; }
};

// Writes characters with wide stores: each primitive may store up to eight
// bytes past its text, which the next fragment of the head always covers.
struct Write {
  char* out;
  void fragment(std::string_view s) noexcept {
    std::memcpy(out, s.data(), s.size());
    out += s.size();
  }
  void i64(int64_t v) noexcept { out = json::decimal::put_i64_wide(out, v); }
  void value(uint16_t u) noexcept {
    const uint64_t entry = value_entry(u);
    std::memcpy(out, &entry, 8);
    out += entry >> 56;
  }
  void settings(const SettingsHead& head, uint64_t version) noexcept {
    // The first 64 bytes, then the 64 that end the head (they overlap).
    std::memcpy(out, head.text, 64);
    std::memcpy(out + head.size - 64, head.text + head.size - 64, 64);
    out[kVersionDigit] = static_cast<char>('0' + version);
    out += head.size;
  }
};

// The fields of a record before its samples.
struct Head {
  uint64_t version = 0;
  int64_t timestamp = 0;  // version 1
  uint16_t acc_temp = 0;  // the wire value
  uint8_t settings = 0;   // versions 2 and 3: index of the four settings tags
};

// Everything up to and including "samples":[.
template <class Sink>
inline void head(const Head& h, Sink& sink) noexcept {
  if (h.version == 1) {
    sink.fragment(kV1Head);
    sink.i64(h.timestamp);
    sink.fragment(kAccTemp);
  } else {
    sink.settings(kSettingsHeads[h.settings], h.version);  // ends in kAccTemp
  }
  sink.value(h.acc_temp);  // its wide store falls inside kSamplesOpen
  sink.fragment(kSamplesOpen);
}

}  // namespace vorlane::fused::text
