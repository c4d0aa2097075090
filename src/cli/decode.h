// Decodes the lines of a batch through the fast path, the module's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "cli/batch.h"
#include "fused/document.h"

namespace vorlane::cli {

// Calls f(line, index) for every line of `text`: lines end in "\n" (the last
// may have none), one "\r" before it is dropped, and index counts every line
// from 0. Returns the number of lines.
template <class F>
size_t for_each_line(std::string_view text, F&& f) {
  const char* p = text.data();
  const char* const end = p + text.size();
  size_t index = 0;
  while (p != end) {
    const auto* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* line_end = newline != nullptr ? newline : end;
    std::string_view line(p, static_cast<size_t>(line_end - p));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    f(line, index++);
    p = newline != nullptr ? newline + 1 : end;
  }
  return index;
}

// Decodes every non-empty line of batch.in as a payload of `version`:
// documents into batch.out, failures into batch.failures; with `strict`, a
// record that leaves bytes of its payload unread fails too. `document` is
// the caller's, reused from batch to batch. The output grows with the
// documents, not ahead of them; a line whose decoding runs out of memory
// fails on its own and the next is decoded. Nothing is thrown: where not
// even a failure can be kept, batch.out_of_memory is set and decoding stops.
void decode_batch(Batch& batch, uint64_t version, bool strict, fused::Document& document) noexcept;

}  // namespace vorlane::cli
