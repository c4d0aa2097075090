// The whole decoding path: accel::decode_b64 with every version, then the
// document writer. Each input is tried twice over: as Base64 text as it
// stands (which exercises the text rules), and as payload bytes, encoded
// here as canonical Base64 (which exercises the record decoders).
//
// Checks: the document is compact JSON of exactly the record's shape with
// members in order; a failure's text is one of the documented forms;
// decoding is deterministic; a Base64 fault wins over the version; versions
// 2 and 3 read any bytes alike; bytes after a record change nothing; the
// fast path the module and the tool take (fused::Document, with every
// sample reader this CPU has) gives exactly the same document or error, and
// finds the record's end where the reference does.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "accel/entry.h"
#include "checks.h"
#include "cpu_paths.h"
#include "fused/document.h"
#include "json/document.h"
#include "debug_text.h"

using namespace vorlane;

namespace {

constexpr uint64_t kVersions[] = {0, 1, 2, 3, 4, UINT64_MAX};

struct Outcome {
  bool ok;
  std::string text;  // the document, or the error's debug text
  size_t record = 0;  // bytes the record took
  size_t left = 0;    // bytes after it
  bool operator==(const Outcome&) const = default;
};

Outcome render(Result<accel::AccelNCDataPayloadVersioned, accel::Error> decoded, size_t payload = 0,
               size_t record = 0) {
  if (!decoded.ok()) return {false, accel::debug_text(decoded.error())};
  return {true, json::to_json_text(json::NCDataPayload{std::move(decoded).value()}), record,
          payload - record};
}

Outcome run(uint64_t version, std::string_view text) {
  size_t payload = 0, record = 0;
  auto decoded = accel::decode_b64(version, text, &payload, &record);
  return render(std::move(decoded), payload, record);
}

// Every reader and writer of the paths this CPU runs.
const auto kReaders = testing::sample_readers();
const auto kWriters = testing::writers();

Outcome run_direct(uint64_t version, std::string_view text, fused::SampleReader reader,
                   fused::Writer writer) {
  fused::Document document;
  auto length = document.prepare(version, text, reader);
  if (!length.ok()) return {false, accel::debug_text(length.error())};
  // A guard byte after the document: the writer must stop at its length.
  std::string out(length.value() + 1, '\x5a');
  FUZZ_CHECK(document.write(out.data(), length.value(), writer) == out.data() + length.value(),
             "fast path: the text differs from its measure");
  FUZZ_CHECK(out.back() == '\x5a', "fast path wrote past the document");
  out.pop_back();
  return {true, std::move(out), document.record_bytes(), document.bytes_left()};
}

void check_outcome(const Outcome& o, uint64_t version, std::string_view text, size_t max_samples) {
  if (o.ok) {
    size_t samples = 0;
    FUZZ_CHECK(fuzz::well_formed_document(o.text, version, samples), "bad document: " + o.text);
    FUZZ_CHECK(samples <= max_samples, "more samples than the bytes can hold: " + o.text);
  } else {
    FUZZ_CHECK(fuzz::well_formed_error(o.text, version, text),
               "bad error text for version " + std::to_string(version) + ": " + o.text);
  }
}

// Every version on one text, and how their outcomes relate.
void check_text(std::string_view text, const uint8_t* payload, size_t payload_size) {
  Outcome by_version[std::size(kVersions)];
  for (size_t i = 0; i < std::size(kVersions); ++i) {
    const uint64_t version = kVersions[i];
    Outcome o = run(version, text);
    FUZZ_CHECK(o == run(version, text), "not deterministic: " + o.text);
    // A sample takes at least three bytes; the text decodes to at most 3/4 of its length.
    check_outcome(o, version, text, (text.size() + 3) / 4);
    for (const auto& reader : kReaders) {
      for (const auto& writer : kWriters) {
        FUZZ_CHECK(run_direct(version, text, reader.kernel, writer.kernel) == o,
                   "fast path differs: " + o.text);
      }
    }
    by_version[i] = std::move(o);
  }
  const Outcome& unsupported = by_version[0];
  const bool b64_failed = unsupported.text.starts_with("B64Error(");
  for (size_t i = 0; i < std::size(kVersions); ++i) {
    const Outcome& o = by_version[i];
    // Base64 is judged before the version, for every version alike.
    FUZZ_CHECK(o.text.starts_with("B64Error(") == b64_failed, "Base64 verdict depends on the version");
    if (b64_failed) FUZZ_CHECK(o == unsupported, "Base64 fault depends on the version");
  }
  // Versions 2 and 3 share one layout: same error, or the same document but
  // for the digit of the key.
  Outcome v2 = by_version[2];
  const Outcome& v3 = by_version[3];
  if (v2.ok) v2.text[12] = '3';  // {"Accel":{"V2"
  FUZZ_CHECK(v2 == v3, "versions 2 and 3 differ: " + v2.text + " / " + v3.text);

  if (payload == nullptr) return;
  // Bytes after a complete record are never read.
  std::vector<uint8_t> longer(payload, payload + payload_size);
  longer.insert(longer.end(), {0xff, 0x80, 0x00, 0x03});
  for (uint64_t version = 1; version <= 3; ++version) {
    const Outcome& o = by_version[version];
    if (!o.ok) continue;
    size_t record = 0;
    auto decoded = accel::decode_bytes(version, longer.data(), longer.size(), &record);
    Outcome extended = render(std::move(decoded), longer.size(), record);
    FUZZ_CHECK(extended.text == o.text && extended.record == o.record,
               "trailing bytes changed the record: " + extended.text);
    FUZZ_CHECK(extended.left == o.left + 4, "trailing bytes not left after the record");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_text(std::string_view(reinterpret_cast<const char*>(data), size), nullptr, 0);
  const std::string encoded = fuzz::encode_base64(data, size);
  check_text(encoded, data, size);
  return 0;
}
