// Columns of payloads decoded in bulk: Arrow columns read in place and
// checked before any row is, the rows decoded on a few threads a chunk at a
// time, and the documents and errors gathered into Arrow string columns of
// exactly their size. No Python here: the module feeds it and exports it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/c_data.h"

namespace vorlane::batch {

// Why a column cannot be read: the wrong type (TypeError to Python) or
// inconsistent buffers (ValueError). Empty when the column is usable.
struct Problem {
  bool wrong_type = false;
  std::string message;
  explicit operator bool() const noexcept { return !message.empty(); }
};

// A text column of Arrow's string ("u"), large_string ("U") or string_view
// ("vu") layout, read in place; or of the null type ("n"), all rows null.
class TextColumn {
 public:
  // Checks `array` against `format` and reads it: afterwards every row can
  // be read within its buffers, or the problem is returned.
  Problem open(const char* format, const ArrowArray& array);

  int64_t size() const noexcept { return length_; }
  // The bytes of all its texts.
  int64_t text_bytes() const noexcept;
  bool is_null(int64_t row) const noexcept;
  std::string_view text(int64_t row) const noexcept;

 private:
  enum class Layout : uint8_t { Utf8, LargeUtf8, View, Null };
  Layout layout_ = Layout::Utf8;
  int64_t length_ = 0;
  int64_t offset_ = 0;
  const uint8_t* validity_ = nullptr;
  const void* offsets_ = nullptr;  // int32, int64, or 16-byte views
  const char* data_ = nullptr;
  const char* const* view_data_ = nullptr;
};

// The version of each row: one for all, or a column of integers (Arrow's
// int8 to uint64, or null). A null or negative version fails its row with
// the message the caller gives for it.
class VersionColumn {
 public:
  enum class State : uint8_t { Ok, Null, Negative, TooLarge };

  explicit VersionColumn(uint64_t version = 0) noexcept : constant_(version) {}
  // Appends the rows of `array`, or returns the problem.
  Problem append(const char* format, const ArrowArray& array);
  // Appends one row.
  void push(uint64_t value, State state) {
    values_.push_back(value);
    states_.push_back(state);
  }
  bool is_column() const noexcept { return column_; }
  void set_column() noexcept { column_ = true; }
  int64_t size() const noexcept { return static_cast<int64_t>(values_.size()); }

  State state(int64_t row) const noexcept {
    return column_ ? states_[static_cast<size_t>(row)] : State::Ok;
  }
  uint64_t value(int64_t row) const noexcept {
    return column_ ? values_[static_cast<size_t>(row)] : constant_;
  }

 private:
  uint64_t constant_;
  bool column_ = false;
  std::vector<uint64_t> values_;
  std::vector<State> states_;
};

// One row as the decoder sees it: a null, a text to decode, or a failure
// already known (a version that is not one, a text that is not UTF-8).
struct Row {
  enum class Kind : uint8_t { Null, Text, Failed };
  Kind kind = Kind::Null;
  std::string_view text;  // the payload, or the failure's message
  uint64_t version = 0;
};

// Where rows come from; `row` is called from several threads at once.
using RowSource = std::function<Row(int64_t row)>;

// A large output buffer released, kept for the next output rather than
// freed: fresh memory costs the kernel a fault and a zeroed page for every
// page, about as much as writing the output itself, where memory kept
// costs nothing to write again (the allocator under a Python loop keeps
// the memory of its strings the same way). A few are kept at a time, each
// given back lazily (the kernel may take its pages when it needs them).
// give_kept keeps `p`, of `capacity` bytes, or frees it; take_kept returns
// one of at least `bytes` bytes and sets `capacity`, or nullptr.
void give_kept(void* p, size_t capacity) noexcept;
void* take_kept(size_t bytes, size_t& capacity) noexcept;
// Below this a buffer is not worth keeping.
inline constexpr size_t kKeptMin = size_t{8} << 20;

// Memory from malloc: a buffer grown by realloc is moved, not copied. One
// made to be kept knows its capacity.
struct Free {
  size_t kept = 0;
  void operator()(void* p) const noexcept {
    if (kept != 0 && p != nullptr) {
      give_kept(p, kept);
    } else {
      std::free(p);
    }
  }
};
template <class T>
using Buffer = std::unique_ptr<T[], Free>;

// An Arrow string column ("U": 64-bit offsets) owning buffers of exactly
// its size.
struct StringColumn {
  int64_t length = 0;
  int64_t null_count = 0;
  Buffer<uint8_t> validity;  // null when no row is null
  Buffer<int64_t> offsets;   // length + 1, from 0
  Buffer<char> data;
  int64_t data_bytes() const noexcept { return offsets ? offsets[static_cast<size_t>(length)] : 0; }
};

// struct<document: string, error: string>: each row's document as parse
// returns it, or the message parse raises; a null payload is null in both.
struct Documents {
  StringColumn document;
  StringColumn error;
};

// Any Arrow array this decoder makes, and its type: the tree the module
// exports through the C data interface. Buffers are in Arrow's order; a
// null one is absent (a validity bitmap when no row is null).
struct Node {
  const char* format = "";
  const char* name = "";
  int64_t length = 0;
  int64_t null_count = 0;
  std::vector<Buffer<uint8_t>> buffers;
  std::vector<Node> children;
  std::shared_ptr<const Node> dictionary;
};

// The documents' struct array, taking the columns' buffers.
Node documents_node(Documents documents);

// Typed rows, struct<version: uint8, timestamp: int64, range, freq, noise,
// antialias: dictionary<int8, string>, acc_temp: int16,
// samples: large_list<struct<x, y, z: int16>>, error: large_string>; a
// field the row's version lacks, and every field but error of a row that
// failed, is null.
// `text_bytes` as for decode_documents.
Node decode_records(const RowSource& source, int64_t rows, int64_t text_bytes, unsigned threads);

// Arrays of one type joined end to end, copied.
Node concatenate(const std::vector<std::shared_ptr<const Node>>& parts);

// Decodes `rows` rows on at most `threads` threads (the calling one among
// them), each a run of rows of its own, output in row order. `text_bytes`,
// the payloads' size, sizes the first reservation (a guess is fine).
Documents decode_documents(const RowSource& source, int64_t rows, int64_t text_bytes,
                           unsigned threads);

// Runs task(0) to task(tasks - 1) on at most `threads` threads, the calling
// one among them; after the first task that throws, the others stop and
// std::bad_alloc (or std::runtime_error for anything else) is thrown here.
void run_tasks(int64_t tasks, unsigned threads, const std::function<void(int64_t)>& task);

// Rows are decoded a chunk at a time into a part that stays in cache, then
// appended to the output: the output is written once, in row order,
// whichever thread decoded the rows.
inline constexpr int64_t kChunkRows = 256;

// Runs decode(chunk, worker) for every chunk of `rows` rows on at most
// `threads` workers (the calling thread among them), and after each,
// append(worker) on the same worker, one at a time and in chunk order.
// Returns how many workers it used; a lone one is the calling thread,
// which a caller may rather have decode in place. A failure is thrown as
// by run_tasks, and no worker is left waiting.
int64_t workers_for(int64_t rows, unsigned threads) noexcept;
void decode_in_order(int64_t rows, int64_t workers, const std::function<void(int64_t, int64_t)>& decode,
                     const std::function<void(int64_t)>& append);

}  // namespace vorlane::batch
