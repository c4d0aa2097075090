#include "batch/columns.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <string_view>
#include <thread>

#include "accel/errors.h"
#include "fused/document.h"

namespace vorlane::batch {
namespace {

Problem wrong_type(std::string message) { return {true, std::move(message)}; }
Problem bad(std::string what, std::string_view problem) {
  return {false, what.append(": ").append(problem)};
}

bool bit(const uint8_t* bits, int64_t i) noexcept {
  return (bits[i >> 3] >> (i & 7)) & 1;
}

// Length, offset, children, buffers and the null count against the
// validity bitmap: what every array must get right before its rows are read.
Problem check_frame(const std::string& what, const ArrowArray& array, int64_t min_buffers,
                    int64_t max_buffers) {
  if (array.release == nullptr) return bad(what, "the array was already released");
  if (array.length < 0) return bad(what, "negative length " + std::to_string(array.length));
  if (array.offset < 0) return bad(what, "negative offset " + std::to_string(array.offset));
  if (array.length > INT64_MAX - array.offset - 1) {
    return bad(what, "length and offset do not fit in 64 bits");
  }
  if (array.n_children != 0) {
    return bad(what, std::to_string(array.n_children) + " child arrays where none belong");
  }
  if (array.n_buffers < min_buffers || array.n_buffers > max_buffers) {
    return bad(what, std::to_string(array.n_buffers) + " buffers, expected " +
                         std::to_string(min_buffers) +
                         (max_buffers > min_buffers ? " or more" : ""));
  }
  if (array.n_buffers > 0 && array.buffers == nullptr) return bad(what, "no buffer list");
  if (array.null_count < -1 || array.null_count > array.length) {
    return bad(what, "null count " + std::to_string(array.null_count) + " for " +
                         std::to_string(array.length) + " rows");
  }
  const auto* validity = array.n_buffers > 0 ? static_cast<const uint8_t*>(array.buffers[0]) : nullptr;
  if (validity == nullptr) {
    if (array.null_count > 0) {
      return bad(what, "null count " + std::to_string(array.null_count) + " but no validity bitmap");
    }
    return {};
  }
  int64_t nulls = 0;
  for (int64_t i = array.offset; i < array.offset + array.length; ++i) nulls += !bit(validity, i);
  if (array.null_count != -1 && array.null_count != nulls) {
    return bad(what, "null count " + std::to_string(array.null_count) + " but the validity bitmap has " +
                         std::to_string(nulls));
  }
  return {};
}

template <class Offset>
Problem check_offsets(const std::string& what, const Offset* offsets, int64_t from, int64_t rows,
                      const char* data) {
  if (offsets[from] < 0) return bad(what, "negative offset at row 0");
  for (int64_t i = 0; i < rows; ++i) {
    if (offsets[from + i + 1] < offsets[from + i]) {
      return bad(what, "offsets decrease at row " + std::to_string(i));
    }
  }
  if (data == nullptr && offsets[from + rows] > 0) return bad(what, "no data buffer");
  return {};
}

}  // namespace

Problem TextColumn::open(const char* format, const ArrowArray& array) {
  const std::string what = "payload column";
  const std::string_view f = format != nullptr ? format : "";
  if (f == "u") {
    layout_ = Layout::Utf8;
  } else if (f == "U") {
    layout_ = Layout::LargeUtf8;
  } else if (f == "vu") {
    layout_ = Layout::View;
  } else {
    return wrong_type("payload column has Arrow format '" + std::string(f) +
                      "', expected text (string, large_string or string_view)");
  }
  const bool view = layout_ == Layout::View;
  if (Problem p = check_frame(what, array, 3, view ? INT64_MAX : 3)) return p;
  length_ = array.length;
  offset_ = array.offset;
  validity_ = static_cast<const uint8_t*>(array.buffers[0]);
  offsets_ = array.buffers[1];
  if (length_ == 0) return {};
  if (offsets_ == nullptr) return bad(what, view ? "no views buffer" : "no offsets buffer");
  if (!view) {
    data_ = static_cast<const char*>(array.buffers[2]);
    return layout_ == Layout::Utf8
               ? check_offsets(what, static_cast<const int32_t*>(offsets_), offset_, length_, data_)
               : check_offsets(what, static_cast<const int64_t*>(offsets_), offset_, length_, data_);
  }
  // Views: the last buffer holds the sizes of the data buffers between.
  const int64_t buffers = array.n_buffers - 3;
  const auto* sizes = static_cast<const int64_t*>(array.buffers[array.n_buffers - 1]);
  if (buffers > 0 && sizes == nullptr) return bad(what, "no buffer sizes for its string views");
  view_data_ = reinterpret_cast<const char* const*>(array.buffers + 2);
  for (int64_t b = 0; b < buffers; ++b) {
    if (sizes[b] < 0) return bad(what, "negative size of data buffer " + std::to_string(b));
    if (sizes[b] > 0 && view_data_[b] == nullptr) return bad(what, "data buffer " + std::to_string(b) + " missing");
  }
  const auto* views = static_cast<const uint8_t*>(offsets_);
  for (int64_t i = 0; i < length_; ++i) {
    if (is_null(i)) continue;
    int32_t parts[4];
    std::memcpy(parts, views + 16 * (offset_ + i), sizeof parts);
    const std::string row = "row " + std::to_string(i);
    if (parts[0] < 0) return bad(what, "negative length at " + row);
    if (parts[0] <= 12) continue;
    if (parts[2] < 0 || parts[2] >= buffers) return bad(what, "no data buffer " + std::to_string(parts[2]) + " for " + row);
    if (parts[3] < 0 || int64_t{parts[3]} + parts[0] > sizes[parts[2]]) {
      return bad(what, row + " lies past the end of its data buffer");
    }
  }
  return {};
}

bool TextColumn::is_null(int64_t row) const noexcept {
  return validity_ != nullptr && !bit(validity_, offset_ + row);
}

std::string_view TextColumn::text(int64_t row) const noexcept {
  const int64_t i = offset_ + row;
  switch (layout_) {
    case Layout::Utf8: {
      const auto* o = static_cast<const int32_t*>(offsets_);
      return {data_ + o[i], static_cast<size_t>(o[i + 1] - o[i])};
    }
    case Layout::LargeUtf8: {
      const auto* o = static_cast<const int64_t*>(offsets_);
      return {data_ + o[i], static_cast<size_t>(o[i + 1] - o[i])};
    }
    case Layout::View:
      break;
  }
  const char* v = static_cast<const char*>(offsets_) + 16 * i;
  int32_t parts[4];
  std::memcpy(parts, v, sizeof parts);
  if (parts[0] <= 12) return {v + 4, static_cast<size_t>(parts[0])};
  return {view_data_[parts[2]] + parts[3], static_cast<size_t>(parts[0])};
}

Problem VersionColumn::append(const char* format, const ArrowArray& array) {
  const std::string what = "version column";
  const std::string_view f = format != nullptr ? format : "";
  if (f == "n") {
    if (Problem p = check_frame(what, array, 0, 0)) return p;
    column_ = true;
    values_.insert(values_.end(), static_cast<size_t>(array.length), 0);
    states_.insert(states_.end(), static_cast<size_t>(array.length), State::Null);
    return {};
  }
  static constexpr std::string_view kFormats = "cCsSiIlL";
  const size_t kind = f.size() == 1 ? kFormats.find(f[0]) : std::string_view::npos;
  if (kind == std::string_view::npos) {
    return wrong_type("version column has Arrow format '" + std::string(f) + "', expected integers");
  }
  if (Problem p = check_frame(what, array, 2, 2)) return p;
  const auto* validity = static_cast<const uint8_t*>(array.buffers[0]);
  const void* values = array.buffers[1];
  if (array.length > 0 && values == nullptr) return bad(what, "no values buffer");
  column_ = true;
  values_.reserve(values_.size() + static_cast<size_t>(array.length));
  states_.reserve(states_.size() + static_cast<size_t>(array.length));
  const bool is_signed = kind % 2 == 0;
  const size_t width = size_t{1} << (kind / 2);
  for (int64_t i = array.offset; i < array.offset + array.length; ++i) {
    if (validity != nullptr && !bit(validity, i)) {
      push(0, State::Null);
      continue;
    }
    const char* at = static_cast<const char*>(values) + width * static_cast<size_t>(i);
    int64_t s = 0;
    uint64_t u = 0;
    switch (kind) {
      case 0: { int8_t v; std::memcpy(&v, at, 1); s = v; break; }
      case 1: { uint8_t v; std::memcpy(&v, at, 1); u = v; break; }
      case 2: { int16_t v; std::memcpy(&v, at, 2); s = v; break; }
      case 3: { uint16_t v; std::memcpy(&v, at, 2); u = v; break; }
      case 4: { int32_t v; std::memcpy(&v, at, 4); s = v; break; }
      case 5: { uint32_t v; std::memcpy(&v, at, 4); u = v; break; }
      case 6: std::memcpy(&s, at, 8); break;
      default: std::memcpy(&u, at, 8); break;
    }
    if (is_signed && s < 0) {
      push(0, State::Negative);
    } else {
      push(is_signed ? static_cast<uint64_t>(s) : u, State::Ok);
    }
  }
  return {};
}

void run_tasks(int64_t tasks, unsigned threads, const std::function<void(int64_t)>& task) {
  std::atomic<int64_t> next{0};
  std::exception_ptr failure;
  std::mutex failure_lock;
  auto work = [&]() noexcept {
    try {
      for (int64_t i; (i = next.fetch_add(1)) < tasks;) task(i);
    } catch (...) {
      next.store(tasks);  // the others stop at their next task
      std::lock_guard lock(failure_lock);
      if (!failure) failure = std::current_exception();
    }
  };
  const int64_t helpers = std::min<int64_t>(tasks, threads) - 1;
  std::vector<std::thread> pool;
  try {
    for (int64_t i = 0; i < helpers; ++i) pool.emplace_back(work);
  } catch (...) {
    // Fewer threads than asked for is still a result.
  }
  work();
  for (auto& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
}

namespace {

// A growing text buffer for one chunk; not zeroed as it grows.
class Bytes {
 public:
  char* extend(size_t n) {
    if (size_ + n > capacity_) {
      const size_t capacity = std::max(size_ + n, 2 * capacity_ + 4096);
      std::unique_ptr<char[]> grown(new char[capacity]);
      if (size_ != 0) std::memcpy(grown.get(), bytes_.get(), size_);
      bytes_ = std::move(grown);
      capacity_ = capacity;
    }
    char* at = bytes_.get() + size_;
    size_ += n;
    return at;
  }
  void shrink(size_t size) noexcept { size_ = size; }
  const char* data() const noexcept { return bytes_.get(); }
  int64_t size() const noexcept { return static_cast<int64_t>(size_); }

 private:
  std::unique_ptr<char[]> bytes_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// A chunk's texts before they are gathered: offsets from 0, a bit a row.
struct Texts {
  Bytes data;
  std::vector<int64_t> offsets{0};
  std::vector<uint8_t> validity;

  explicit Texts(int64_t rows) : validity(static_cast<size_t>((rows + 7) / 8), 0) {
    offsets.reserve(static_cast<size_t>(rows) + 1);
  }
  void add(std::string_view text) {
    if (!text.empty()) std::memcpy(data.extend(text.size()), text.data(), text.size());
    set_valid();
  }
  void set_valid() noexcept {
    const size_t row = offsets.size() - 1;
    validity[row >> 3] = static_cast<uint8_t>(validity[row >> 3] | (1u << (row & 7)));
    offsets.push_back(data.size());
  }
  void add_null() { offsets.push_back(data.size()); }
};

// Rows of texts to gather, from a chunk or a finished column.
struct Slice {
  int64_t rows;
  const int64_t* offsets;
  const char* data;
  const uint8_t* validity;  // null: no row is null
};

StringColumn gather(const std::vector<Slice>& slices, unsigned threads) {
  StringColumn out;
  std::vector<int64_t> row_at(slices.size() + 1, 0);
  std::vector<int64_t> byte_at(slices.size() + 1, 0);
  for (size_t s = 0; s < slices.size(); ++s) {
    const Slice& slice = slices[s];
    row_at[s + 1] = row_at[s] + slice.rows;
    byte_at[s + 1] = byte_at[s] + slice.offsets[slice.rows] - slice.offsets[0];
    if (slice.validity != nullptr) {
      for (int64_t i = 0; i < slice.rows; ++i) out.null_count += !bit(slice.validity, i);
    }
  }
  out.length = row_at.back();
  out.offsets.reset(new int64_t[static_cast<size_t>(out.length) + 1]);
  out.offsets[0] = 0;
  out.data.reset(new char[static_cast<size_t>(std::max<int64_t>(byte_at.back(), 1))]);
  run_tasks(static_cast<int64_t>(slices.size()), threads, [&](int64_t s) {
    const Slice& slice = slices[static_cast<size_t>(s)];
    const int64_t shift = byte_at[static_cast<size_t>(s)] - slice.offsets[0];
    int64_t* offsets = out.offsets.get() + row_at[static_cast<size_t>(s)];
    for (int64_t i = 1; i <= slice.rows; ++i) offsets[i] = slice.offsets[i] + shift;
    const int64_t bytes = slice.offsets[slice.rows] - slice.offsets[0];
    if (bytes > 0) {
      std::memcpy(out.data.get() + byte_at[static_cast<size_t>(s)], slice.data + slice.offsets[0],
                  static_cast<size_t>(bytes));
    }
  });
  if (out.null_count > 0) {
    // Slices need not start on a byte, so the bits are set here, in one pass.
    const size_t bytes = static_cast<size_t>((out.length + 7) / 8);
    out.validity.reset(new uint8_t[bytes]());
    int64_t row = 0;
    for (const Slice& slice : slices) {
      for (int64_t i = 0; i < slice.rows; ++i, ++row) {
        if (slice.validity == nullptr || bit(slice.validity, i)) {
          out.validity[static_cast<size_t>(row >> 3)] |= static_cast<uint8_t>(1u << (row & 7));
        }
      }
    }
  }
  return out;
}

Slice slice_of(const Texts& texts) {
  return {static_cast<int64_t>(texts.offsets.size()) - 1, texts.offsets.data(), texts.data.data(),
          texts.validity.data()};
}

Slice slice_of(const StringColumn& column) {
  return {column.length, column.offsets.get(), column.data.get(), column.validity.get()};
}

struct Chunk {
  Texts documents;
  Texts errors;
  explicit Chunk(int64_t rows) : documents(rows), errors(rows) {}
};

void decode_chunk(const RowSource& source, int64_t first, int64_t rows, Chunk& chunk) {
  fused::Document document;
  for (int64_t row = first; row < first + rows; ++row) {
    const Row input = source(row);
    if (input.kind != Row::Kind::Text) {
      chunk.documents.add_null();
      if (input.kind == Row::Kind::Failed) {
        chunk.errors.add(input.text);
      } else {
        chunk.errors.add_null();
      }
      continue;
    }
    const auto length = document.prepare(input.version, input.text);
    if (!length.ok()) {
      chunk.documents.add_null();
      chunk.errors.add(accel::failure_message(length.error()).view());
      continue;
    }
    char* const at = chunk.documents.data.extend(length.value());
    if (document.write(at, length.value()) != at + length.value()) {
      throw std::logic_error("the document's length differs from its measure");
    }
    chunk.documents.set_valid();
    chunk.errors.add_null();
  }
}

}  // namespace

Documents decode_documents(const RowSource& source, int64_t rows, unsigned threads) {
  const int64_t chunks = (rows + kChunkRows - 1) / kChunkRows;
  std::vector<std::unique_ptr<Chunk>> parts(static_cast<size_t>(chunks));
  run_tasks(chunks, threads, [&](int64_t c) {
    const int64_t first = c * kChunkRows;
    const int64_t count = std::min(kChunkRows, rows - first);
    auto chunk = std::make_unique<Chunk>(count);
    decode_chunk(source, first, count, *chunk);
    parts[static_cast<size_t>(c)] = std::move(chunk);
  });
  std::vector<Slice> documents, errors;
  for (const auto& part : parts) {
    documents.push_back(slice_of(part->documents));
    errors.push_back(slice_of(part->errors));
  }
  Documents out;
  out.document = gather(documents, threads);
  out.error = gather(errors, threads);
  return out;
}

Documents concatenate(const std::vector<std::shared_ptr<const Documents>>& parts, unsigned threads) {
  std::vector<Slice> documents, errors;
  for (const auto& part : parts) {
    documents.push_back(slice_of(part->document));
    errors.push_back(slice_of(part->error));
  }
  Documents out;
  out.document = gather(documents, threads);
  out.error = gather(errors, threads);
  return out;
}

}  // namespace vorlane::batch
