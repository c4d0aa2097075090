#include "batch/columns.h"

#include "batch/buffers.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>
#include <thread>

#include <pthread.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif


#include "accel/errors.h"
#include "fused/document.h"

namespace vorlane::batch {
namespace {

Problem wrong_type(std::string message) { return {true, std::move(message)}; }
Problem bad(std::string what, std::string_view problem) {
  return {false, what.append(": ").append(problem)};
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
  if (min_buffers == 0 && max_buffers == 0) return {};  // the null type: every row null
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

// The common Arrow types by name, for a message about the wrong one.
std::string type_name(std::string_view format) {
  static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
      {"z", "binary"}, {"Z", "large_binary"}, {"vz", "binary_view"}, {"b", "bool"},
      {"c", "int8"},   {"C", "uint8"},        {"s", "int16"},        {"S", "uint16"},
      {"i", "int32"},  {"I", "uint32"},       {"l", "int64"},        {"L", "uint64"},
      {"e", "half_float"}, {"f", "float"},    {"g", "double"},       {"+s", "struct"},
      {"+l", "list"},  {"+L", "large_list"},
  };
  for (const auto& [code, name] : kNames) {
    if (code == format) return std::string(name) + " (Arrow format '" + std::string(format) + "')";
  }
  if (format.starts_with("w:")) return "fixed_size_binary (Arrow format '" + std::string(format) + "')";
  return "of Arrow format '" + std::string(format) + "'";
}

}  // namespace

Problem TextColumn::open(const char* format, const ArrowArray& array) {
  const std::string what = "payload column";
  const std::string_view f = format != nullptr ? format : "";
  if (f == "n") {
    // The null type: a column of nothing but nulls.
    if (Problem p = check_frame(what, array, 0, 0)) return p;
    layout_ = Layout::Null;
    length_ = array.length;
    return {};
  }
  if (f == "u") {
    layout_ = Layout::Utf8;
  } else if (f == "U") {
    layout_ = Layout::LargeUtf8;
  } else if (f == "vu") {
    layout_ = Layout::View;
  } else {
    return wrong_type("payload column is " + type_name(f) +
                      ", expected text (string, large_string or string_view)");
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
    // (The row's name only for a message: this loop runs over every row.)
    if (parts[0] < 0) return bad(what, "negative length at row " + std::to_string(i));
    if (parts[0] <= 12) continue;
    if (parts[2] < 0 || parts[2] >= buffers) {
      return bad(what, "no data buffer " + std::to_string(parts[2]) + " for row " + std::to_string(i));
    }
    if (parts[3] < 0 || int64_t{parts[3]} + parts[0] > sizes[parts[2]]) {
      return bad(what, "row " + std::to_string(i) + " lies past the end of its data buffer");
    }
  }
  return {};
}

int64_t TextColumn::text_bytes() const noexcept {
  const int64_t end = offset_ + length_;
  switch (layout_) {
    case Layout::Utf8:
      return length_ ? static_cast<const int32_t*>(offsets_)[end] - static_cast<const int32_t*>(offsets_)[offset_] : 0;
    case Layout::LargeUtf8:
      return length_ ? static_cast<const int64_t*>(offsets_)[end] - static_cast<const int64_t*>(offsets_)[offset_] : 0;
    case Layout::Null:
      return 0;
    case Layout::View:
      break;
  }
  int64_t bytes = 0;
  for (int64_t i = 0; i < length_; ++i) bytes += is_null(i) ? 0 : static_cast<int64_t>(text(i).size());
  return bytes;
}

bool TextColumn::is_null(int64_t row) const noexcept {
  if (layout_ == Layout::Null) return true;
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
    case Layout::Null:
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
    return wrong_type("version column is " + type_name(f) + ", expected integers");
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
  // What failed is kept as a kind, not as an exception_ptr, whose
  // reference counting needs a newer C++ runtime than the wheels may ask for.
  enum : int { kNone, kMemory, kOther };
  std::atomic<int64_t> next{0};
  std::atomic<int> failure{kNone};
  auto work = [&]() noexcept {
    int kind = kNone;
    try {
      for (int64_t i; (i = next.fetch_add(1)) < tasks;) task(i);
    } catch (const std::bad_alloc&) {
      kind = kMemory;
    } catch (...) {
      kind = kOther;
    }
    if (kind != kNone) {
      next.store(tasks);  // the others stop at their next task
      int none = kNone;
      failure.compare_exchange_strong(none, kind);
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
  if (failure == kMemory) throw std::bad_alloc();
  if (failure == kOther) throw std::runtime_error("a decoding task failed");
}

namespace {

// Documents and their errors, as a run of rows is decoded.
struct DocumentTexts {
  Texts documents;
  Texts errors;

  void clear() noexcept {
    documents.clear();
    errors.clear();
  }
  void append(const DocumentTexts& part, bool streaming) {
    documents.append(part.documents, streaming);
    errors.append(part.errors, false);
  }
};

// Appends the documents and errors of rows [first, first + count).
void decode_rows(const RowSource& source, DocumentTexts& out, fused::Document& document, int64_t first,
                 int64_t count) {
  Texts& documents = out.documents;
  Texts& errors = out.errors;
  for (int64_t row = first; row < first + count; ++row) {
    const Row input = source(row);
    if (input.kind != Row::Kind::Text) {
      documents.end_row(false);
      if (input.kind == Row::Kind::Failed) {
        errors.add(input.text);
      } else {
        errors.end_row(false);
      }
      continue;
    }
    const auto length = document.prepare(input.version, input.text);
    if (!length.ok()) {
      documents.end_row(false);
      errors.add(accel::failure_message(length.error()).view());
      continue;
    }
    char* const at = documents.data().extend(length.value());
    if (document.write(at, length.value()) != at + length.value()) {
      throw std::logic_error("the document's length differs from its measure");
    }
    documents.end_row(true);
    errors.end_row(false);
  }
}

}  // namespace

namespace {

// The kept buffers, each with its capacity in its first eight bytes: one
// exchange gives or takes a buffer, with no lock to be held across a fork.
std::atomic<void*> g_kept[4];

}  // namespace

namespace {

bool keep(void* p) noexcept {
  for (auto& slot : g_kept) {
    void* none = nullptr;
    if (slot.compare_exchange_strong(none, p)) return true;
  }
  return false;
}

}  // namespace

void give_kept(void* p, size_t capacity) noexcept {
  std::memcpy(p, &capacity, sizeof capacity);
#if defined(__linux__) && defined(MADV_FREE)
  // Its pages the kernel may take back without writing them anywhere (all
  // but the first, which holds the capacity).
  advise_pages(p, sizeof capacity, capacity, MADV_FREE);
#endif
  if (!keep(p)) std::free(p);
}

void* take_kept(size_t bytes, size_t& capacity) noexcept {
  for (auto& slot : g_kept) {
    void* p = slot.exchange(nullptr);
    if (p == nullptr) continue;
    std::memcpy(&capacity, p, sizeof capacity);
    // One far larger is left for an output of its size.
    if (capacity >= bytes && capacity / 4 <= bytes) return p;
    if (capacity < bytes || !keep(p)) std::free(p);
  }
  return nullptr;
}

int64_t workers_for(int64_t rows, unsigned threads) noexcept {
  return std::max<int64_t>(1, std::min<int64_t>(threads, (rows + kChunkRows - 1) / kChunkRows));
}

void decode_in_order(int64_t rows, int64_t workers, const std::function<void(int64_t, int64_t)>& decode,
                     const std::function<void(int64_t)>& append) {
  const int64_t chunks = (rows + kChunkRows - 1) / kChunkRows;
  std::atomic<int64_t> next{0};
  // The chunk whose turn it is to be appended. Chunks are taken in order,
  // so it is always held by a worker that is not waiting. (POSIX's own
  // condition, not std::condition_variable, whose wait needs a newer C++
  // runtime than the wheels may ask for.)
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t turn = PTHREAD_COND_INITIALIZER;
  int64_t appending = 0;
  bool failed = false;
  const auto next_turn = [&](bool failure) {
    pthread_mutex_lock(&mutex);
    if (failure) {
      failed = true;
    } else {
      ++appending;
    }
    pthread_cond_broadcast(&turn);
    pthread_mutex_unlock(&mutex);
  };
  run_tasks(workers, static_cast<unsigned>(workers), [&](int64_t worker) {
    try {
      for (int64_t c; (c = next.fetch_add(1)) < chunks;) {
        decode(c, worker);
        pthread_mutex_lock(&mutex);
        while (appending != c && !failed) pthread_cond_wait(&turn, &mutex);
        const bool stop = failed;
        pthread_mutex_unlock(&mutex);
        if (stop) return;
        append(worker);
        next_turn(false);
      }
    } catch (...) {
      next_turn(true);
      throw;
    }
  });
  pthread_cond_destroy(&turn);
  pthread_mutex_destroy(&mutex);
}

Documents decode_documents(const RowSource& source, int64_t rows, int64_t text_bytes,
                           unsigned threads) {
  DocumentTexts out{Texts(rows, true), Texts(rows)};
  // A document is about four times its payload's text. Room reserved and
  // not written costs no memory; too little means growing, by moving.
  out.documents.data().reserve(5 * static_cast<size_t>(text_bytes) + 4096);
  decode_chunked(
      out, rows, text_bytes, threads, [] { return DocumentTexts{Texts(kChunkRows), Texts(kChunkRows)}; },
      [&](DocumentTexts& into, fused::Document& document, int64_t first, int64_t count) {
        decode_rows(source, into, document, first, count);
      });
  return {out.documents.finish(), out.errors.finish()};
}


Node string_node(StringColumn column, const char* name) {
  Node node{"U", name, column.length, column.null_count, {}, {}, nullptr};
  node.buffers.push_back(bytes_of(std::move(column.validity)));
  node.buffers.push_back(bytes_of(std::move(column.offsets)));
  node.buffers.push_back(bytes_of(std::move(column.data)));
  return node;
}

Node documents_node(Documents documents) {
  Node node{"+s", "", documents.document.length, 0, {}, {}, nullptr};
  node.buffers.emplace_back();
  node.children.push_back(string_node(std::move(documents.document), "document"));
  node.children.push_back(string_node(std::move(documents.error), "error"));
  return node;
}

}  // namespace vorlane::batch
