// Buffers as the batch decoder builds them: grown by realloc, on huge
// pages when large, and handed to Arrow at their exact size.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "batch/columns.h"
#include "fused/document.h"

namespace vorlane::batch {

inline bool bit(const uint8_t* bits, int64_t i) noexcept {
  return (bits[i >> 3] >> (i & 7)) & 1;
}

// Large buffers ask for huge pages: a column of documents is hundreds of
// megabytes, and faulting it in 4 KiB at a time costs as much as writing it.
inline void prefer_huge_pages(void* p, size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kHuge = uintptr_t{1} << 21;
  if (bytes < 2 * kHuge) return;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

#if defined(__linux__)
// madvise over the whole pages of bytes [from, to) of the buffer at p.
inline void advise_pages(void* p, size_t from, size_t to, int advice) noexcept {
  constexpr uintptr_t kPage = 4096;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + from + kPage - 1) & ~(kPage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + to) & ~(kPage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, advice);
}
#endif

// Frees the memory of the whole pages of [p + size, p + capacity), which
// stays mapped and reads as zeros.
inline void give_back_after(void* p, size_t size, size_t capacity) noexcept {
#if defined(__linux__)
  advise_pages(p, size, capacity, MADV_DONTNEED);
#else
  (void)p;
  (void)size;
  (void)capacity;
#endif
}

// The same buffer as bytes, still freed (or kept) as it was made.
template <class T>
Buffer<uint8_t> bytes_of(Buffer<T> buffer) {
  const Free free = buffer.get_deleter();
  return Buffer<uint8_t>(reinterpret_cast<uint8_t*>(buffer.release()), free);
}

// Copies `n` bytes to memory that will not be read again soon: on x86-64,
// whole cache lines are stored around the caches, which writes a large
// output about twice as fast as stores that first read each line in.
// stream_fence() must follow before another thread reads what was copied.
inline void copy_streaming(char* to, const char* from, size_t n) noexcept {
#if defined(__x86_64__)
  size_t head = (64 - (reinterpret_cast<uintptr_t>(to) & 63)) & 63;
  if (head > n) head = n;
  std::memcpy(to, from, head);
  to += head;
  from += head;
  n -= head;
  for (; n >= 64; n -= 64, to += 64, from += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 48));
    _mm_stream_si128(reinterpret_cast<__m128i*>(to), a);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + 16), b);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + 32), c);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + 48), d);
  }
#endif
  std::memcpy(to, from, n);
}

// Copies `n` bytes, by streaming stores or plain ones.
inline void copy_out(char* to, const char* from, size_t n, bool streaming) noexcept {
  if (streaming) {
    copy_streaming(to, from, n);
  } else {
    std::memcpy(to, from, n);
  }
}

inline void stream_fence() noexcept {
#if defined(__x86_64__)
  _mm_sfence();
#endif
}

// A buffer that grows by realloc and is handed on at its exact size. A
// `huge` one asks for huge pages: for the one large buffer of a batch only,
// as up to a huge page of each is resident beyond its end.
template <class T>
class Growing {
 public:
  explicit Growing(bool huge = false) : huge_(huge) {}
  T* extend(size_t n) {
    if (size_ + n > capacity_) reserve(std::max(size_ + n, capacity_ + capacity_ / 2 + 4096 / sizeof(T)));
    T* at = buffer_.get() + size_;
    size_ += n;
    return at;
  }
  void reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    if (huge_ && !buffer_ && capacity * sizeof(T) >= kKeptMin) {
      size_t bytes = 0;
      if (void* kept = take_kept(capacity * sizeof(T), bytes)) {
        buffer_.reset(static_cast<T*>(kept));
        capacity_ = bytes / sizeof(T);
        return;
      }
    }
    void* grown = std::realloc(buffer_.get(), capacity * sizeof(T));
    if (grown == nullptr) throw std::bad_alloc();
    buffer_.release();
    buffer_.reset(static_cast<T*>(grown));
    capacity_ = capacity;
    if (huge_) prefer_huge_pages(grown, capacity * sizeof(T));
  }
  size_t size() const noexcept { return size_; }
  T* data() noexcept { return buffer_.get(); }
  const T* data() const noexcept { return buffer_.get(); }
  // Empty again, keeping its memory.
  void clear() noexcept { size_ = 0; }
  // The buffer, cut to its size (at least one element: Arrow wants a
  // pointer even for no bytes). A large `huge` one keeps its capacity, to
  // be kept when released, and gives back the pages past its size.
  Buffer<T> take() {
    reserve(1);
    if (huge_ && capacity_ * sizeof(T) >= kKeptMin) {
      give_back_after(buffer_.get(), size_ * sizeof(T), capacity_ * sizeof(T));
      buffer_.get_deleter().kept = capacity_ * sizeof(T);
    } else if (capacity_ > size_ && size_ > 0) {
      if (void* cut = std::realloc(buffer_.get(), size_ * sizeof(T))) {
        buffer_.release();
        buffer_.reset(static_cast<T*>(cut));
      }
    }
    capacity_ = size_ = 0;
    Buffer<T> out = std::move(buffer_);
    buffer_.get_deleter().kept = 0;  // what it grows next is its own
    return out;
  }

 private:
  Buffer<T> buffer_;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool huge_;
};

template <class T>
inline Buffer<T> allocate(size_t n) {
  void* p = std::malloc(std::max<size_t>(n, 1) * sizeof(T));
  if (p == nullptr) throw std::bad_alloc();
  return Buffer<T>(static_cast<T*>(p));
}

// A run's texts as they are written: offsets from 0, a flag a row.
class Texts {
 public:
  explicit Texts(int64_t rows, bool huge = false) : data_(huge) {
    offsets_.reserve(static_cast<size_t>(rows) + 1);
    *offsets_.extend(1) = 0;
    valid_.reserve(static_cast<size_t>(rows));
  }
  Growing<char>& data() noexcept { return data_; }
  void add(std::string_view text) {
    if (!text.empty()) std::memcpy(data_.extend(text.size()), text.data(), text.size());
    end_row(true);
  }
  void end_row(bool valid) {
    *offsets_.extend(1) = static_cast<int64_t>(data_.size());
    *valid_.extend(1) = valid;
    nulls_ += !valid;
  }

  // Empty again, keeping its memory for the next rows.
  void clear() noexcept {
    data_.clear();
    offsets_.clear();
    *offsets_.extend(1) = 0;
    valid_.clear();
    nulls_ = 0;
  }

  // Appends the rows of `part`; `streaming`, its text with copy_streaming.
  void append(const Texts& part, bool streaming) {
    const int64_t base = static_cast<int64_t>(data_.size());
    if (const size_t bytes = part.data_.size()) copy_out(data_.extend(bytes), part.data_.data(), bytes, streaming);
    const size_t rows = part.valid_.size();
    int64_t* offsets = offsets_.extend(rows);
    const int64_t* ends = part.offsets_.data() + 1;
    for (size_t i = 0; i < rows; ++i) offsets[i] = ends[i] + base;
    std::memcpy(valid_.extend(rows), part.valid_.data(), rows);
    nulls_ += part.nulls_;
  }

  StringColumn finish() {
    StringColumn out;
    out.length = static_cast<int64_t>(valid_.size());
    out.null_count = nulls_;
    if (nulls_ > 0) {
      out.validity = allocate<uint8_t>(static_cast<size_t>((out.length + 7) / 8));
      std::memset(out.validity.get(), 0, static_cast<size_t>((out.length + 7) / 8));
      const uint8_t* valid = valid_.data();
      for (int64_t i = 0; i < out.length; ++i) {
        out.validity[static_cast<size_t>(i >> 3)] |= static_cast<uint8_t>(valid[i] << (i & 7));
      }
    }
    out.offsets = offsets_.take();
    out.data = data_.take();
    return out;
  }

 private:
  Growing<char> data_;
  Growing<int64_t> offsets_;
  Growing<uint8_t> valid_;
  int64_t nulls_ = 0;
};

// Decodes rows [0, rows) into `out` with decode(target, document, first,
// count). A lone thread decodes in place: a copy through the cache costs
// more than it saves. Several decode a chunk at a time into parts of their
// own (make_part()), each appended to `out` in row order by
// out.append(part, streaming) after part.clear() and decode.
template <class Out, class MakePart, class Decode>
void decode_chunked(Out& out, int64_t rows, int64_t text_bytes, unsigned threads, MakePart&& make_part,
                    Decode&& decode) {
  const int64_t workers = workers_for(rows, threads);
  if (workers == 1) {
    fused::Document document;
    decode(out, document, 0, rows);
    return;
  }
  // Streaming stores pay off once the output is well beyond the caches.
  const bool streaming = text_bytes > (4 << 20);
  struct Worker {
    decltype(make_part()) part;
    fused::Document document;
  };
  std::vector<std::unique_ptr<Worker>> own;
  for (int64_t w = 0; w < workers; ++w) own.push_back(std::unique_ptr<Worker>(new Worker{make_part(), {}}));
  decode_in_order(
      rows, workers,
      [&](int64_t chunk, int64_t worker) {
        Worker& w = *own[static_cast<size_t>(worker)];
        w.part.clear();
        const int64_t first = chunk * kChunkRows;
        decode(w.part, w.document, first, std::min(kChunkRows, rows - first));
      },
      [&](int64_t worker) { out.append(own[static_cast<size_t>(worker)]->part, streaming); });
  if (streaming) stream_fence();
}

}  // namespace vorlane::batch
