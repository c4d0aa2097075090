// The tool's line splitting and batching: input handed over in pieces of
// every size, batches of a tiny block size (so lines span and fill many of
// them), a read that may fail part way. The documents, the failure reports
// and the order of both must be exactly what a plain splitter gives, line
// by line through the reference decoder (decode_b64, then to_json_text).
//
// Input: block size, version (and whether --strict), a seed for the piece
// sizes, where a read fails (if at all), then the bytes of the input.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "accel/entry.h"
#include "checks.h"
#include "cli/decode.h"
#include "cli/output.h"
#include "cli/reader.h"
#include "json/document.h"
#include "debug_text.h"

using namespace vorlane;

namespace {

class PieceSource final : public cli::Source {
 public:
  PieceSource(std::string_view data, uint32_t seed, size_t fail_at)
      : data_(data), state_(seed | 1), fail_at_(fail_at) {}

  ssize_t read(char* buffer, size_t size) override {
    FUZZ_CHECK(size > 0, "asked to read nothing");
    FUZZ_CHECK(!failed_ && !ended_, "read again after the end or a failure");
    if (pos_ == fail_at_) {
      failed_ = true;
      errno = EIO;
      return -1;
    }
    const size_t limit = fail_at_ < data_.size() ? fail_at_ : data_.size();
    if (pos_ == limit) {
      ended_ = true;
      return 0;
    }
    size_t n = next() % 4 == 0 ? 1 + next() % 3 : 1 + next() % 97;
    if (n > size) n = size;
    if (n > limit - pos_) n = limit - pos_;
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }
  bool ready() override { return next() % 3 != 0; }

 private:
  uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  std::string_view data_;
  uint32_t state_;
  size_t fail_at_;
  size_t pos_ = 0;
  bool failed_ = false;
  bool ended_ = false;
};

class Capture final : public cli::Output {
 public:
  bool out(const char* data, size_t size) override {
    FUZZ_CHECK(size > 0, "an empty write");
    out_.append(data, size);
    both_.append(data, size);
    return true;
  }
  void err(const char* data, size_t size) override {
    err_.append(data, size);
    both_.append(data, size);
  }
  std::string out_, err_, both_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const size_t block = 1 + data[0] % 64;
  constexpr uint64_t kVersions[] = {3, 1, 2, 0};
  const uint64_t version = kVersions[data[1] % 4];
  const bool strict = (data[1] & 4) != 0;
  const uint32_t seed = data[2] * 0x9E3779B9u;
  const std::string_view input(reinterpret_cast<const char*>(data) + 4, size - 4);
  const size_t fail_at = data[3] & 0x80 ? input.size() * (data[3] & 0x7F) / 128 : SIZE_MAX;

  // The plain splitter: the lines whole before a failed read, else all of
  // them; a last line without "\n" too when the input simply ends.
  std::string_view kept = input;
  if (fail_at != SIZE_MAX) {
    const size_t newline = input.substr(0, fail_at).rfind('\n');
    kept = newline == std::string_view::npos ? std::string_view() : input.substr(0, newline + 1);
  }
  std::string out, err, both;
  size_t number = 0;
  for (size_t pos = 0; pos < kept.size();) {
    size_t end = kept.find('\n', pos);
    if (end == std::string_view::npos) end = kept.size();
    std::string_view line = kept.substr(pos, end - pos);
    pos = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    size_t payload_bytes = 0, record_bytes = 0;
    auto decoded = accel::decode_b64(version, line, &payload_bytes, &record_bytes);
    if (decoded.ok() && strict && payload_bytes != record_bytes) {
      const size_t left = payload_bytes - record_bytes;
      std::string report = "in:" + std::to_string(number) + ": " + std::to_string(left) +
                           (left == 1 ? " byte" : " bytes") + " left after the record (is -p right?)\n";
      err += report;
      both += report;
    } else if (decoded.ok()) {
      std::string doc = json::to_json_text(json::NCDataPayload{std::move(decoded).value()}) + "\n";
      out += doc;
      both += doc;
    } else {
      std::string report = "in:" + std::to_string(number) +
                           ": Parsing failed: " + accel::debug_text(decoded.error()) + "\n";
      err += report;
      both += report;
    }
  }
  if (fail_at != SIZE_MAX) {
    err += "vorlane-decode: in: read failed\n";
    both += "vorlane-decode: in: read failed\n";
  }

  // The tool's path.
  PieceSource source(input, seed, fail_at);
  cli::BlockReader reader(source, block);
  Capture capture;
  cli::Emitter emitter(capture, {"in"});
  fused::Document document;
  cli::Batch batch;
  size_t lines = 0;
  while (reader.next(batch.in)) {
    FUZZ_CHECK(!batch.in.empty(), "an empty batch");
    FUZZ_CHECK(reader.dropped() == 0, "a line dropped with memory to spare");
    decode_batch(batch, version, strict, document);
    FUZZ_CHECK(!batch.out_of_memory, "out of memory");
    lines += batch.lines;
    FUZZ_CHECK(emitter.emit(batch), "the emitter stopped");
  }
  FUZZ_CHECK((reader.error() == EIO) == (fail_at != SIZE_MAX), "read failure not kept");
  if (reader.error() != 0) emitter.report("in: read failed");
  FUZZ_CHECK(!reader.next(batch.in), "lines after the end");
  FUZZ_CHECK(lines == number, "line count: " + std::to_string(lines) + " against " + std::to_string(number));
  FUZZ_CHECK(capture.out_ == out, "documents differ: " + capture.out_);
  FUZZ_CHECK(capture.err_ == err, "reports differ: " + capture.err_);
  FUZZ_CHECK(capture.both_ == both, "documents and reports out of order: " + capture.both_);
  return 0;
}
