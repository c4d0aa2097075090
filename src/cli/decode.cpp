#include "cli/decode.h"

#include <new>

namespace vorlane::cli {
namespace {

void decode_line(Batch& batch, uint64_t version, bool strict, fused::Document& document,
                 std::string_view line, size_t index) {
  auto length = document.prepare(version, line);
  if (!length.ok()) {
    batch.failures.push_back({batch.out.size(), index, LineFailure::Kind::Parse, length.error()});
    return;
  }
  if (strict && document.bytes_left() != 0) {
    batch.failures.push_back(
        {batch.out.size(), index, LineFailure::Kind::LeftOver, {}, document.bytes_left()});
    return;
  }
  Buffer& out = batch.out;
  const size_t size = out.size();
  out.reserve(size + length.value() + 1);
  if (document.write(out.data() + size, length.value()) != out.data() + size + length.value()) {
    // The text and its measure disagree: a fault of the tool, which
    // stops it rather than write a broken document.
    batch.internal_error = true;
    return;
  }
  out.data()[size + length.value()] = '\n';
  out.set_size(size + length.value() + 1);
  ++batch.decoded;
}

}  // namespace

void decode_batch(Batch& batch, uint64_t version, bool strict, fused::Document& document) noexcept {
  batch.out.clear();
  batch.failures.clear();
  batch.decoded = 0;
  batch.out_of_memory = false;
  batch.internal_error = false;
  try {
    batch.lines = for_each_line(batch.in.view(), [&](std::string_view line, size_t index) {
      if (line.empty() || batch.internal_error) return;
      try {
        decode_line(batch, version, strict, document, line, index);
      } catch (const std::bad_alloc&) {
        document.release();
        batch.failures.push_back({batch.out.size(), index, LineFailure::Kind::OutOfMemory});
      }
      if (line.size() > kLongLine) document.release();
    });
    if (batch.dropped != 0) {
      batch.failures.push_back({batch.out.size(), batch.lines, LineFailure::Kind::OutOfMemory});
      ++batch.lines;
    }
  } catch (const std::bad_alloc&) {
    batch.out_of_memory = true;
  }
}

}  // namespace vorlane::cli
