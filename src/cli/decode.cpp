#include "cli/decode.h"

#include <new>

namespace vorlane::cli {

void decode_batch(Batch& batch, uint64_t version, fused::Document& document) noexcept {
  batch.out.clear();
  batch.failures.clear();
  batch.decoded = 0;
  batch.out_of_memory = false;
  batch.internal_error = false;
  try {
    // Documents run about four times their Base64; reserving that once
    // keeps regrowth rare, and the buffer is reused from batch to batch.
    batch.out.reserve(batch.in.size() * 4 + 4096);
    batch.lines = for_each_line(batch.in.view(), [&](std::string_view line, size_t index) {
      if (line.empty() || batch.internal_error) return;
      auto length = document.prepare(version, line);
      if (!length.ok()) {
        batch.failures.push_back({batch.out.size(), index, length.error()});
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
    });
  } catch (const std::bad_alloc&) {
    batch.out_of_memory = true;
  }
}

}  // namespace vorlane::cli
