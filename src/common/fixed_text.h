// Text built in a fixed buffer, for the places that must not allocate: the
// reports made after memory has run out, the refusal to start, the error
// texts of failures that are common in a batch. What does not fit is cut,
// and the text says so (cut()); nothing is ever stored past the buffer.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <string_view>

namespace vorlane {

template <size_t N>
class FixedText {
 public:
  static constexpr size_t kCapacity = N;

  // Appends what fits of `part` and returns the rest (empty when it all fit).
  std::string_view fill(std::string_view part) noexcept {
    const size_t n = part.size() < N - size_ ? part.size() : N - size_;
    std::memcpy(data_ + size_, part.data(), n);
    size_ += n;
    data_[size_] = '\0';
    if (n != part.size()) cut_ = true;
    return part.substr(n);
  }
  FixedText& operator<<(std::string_view part) noexcept {
    fill(part);
    return *this;
  }
  FixedText& operator<<(uint64_t value) noexcept { return put(std::to_chars(data_ + size_, data_ + N, value)); }
  // `value` with `decimals` digits after the point.
  FixedText& fixed(double value, int decimals) noexcept {
    return put(std::to_chars(data_ + size_, data_ + N, value, std::chars_format::fixed, decimals));
  }
  void clear() noexcept {
    size_ = 0;
    data_[0] = '\0';
    cut_ = false;
  }

  std::string_view view() const noexcept { return {data_, size_}; }
  const char* c_str() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  bool cut() const noexcept { return cut_; }

 private:
  // A number written in place; one that does not fit is left out whole.
  FixedText& put(std::to_chars_result done) noexcept {
    if (done.ec != std::errc()) {
      cut_ = true;
    } else {
      size_ = static_cast<size_t>(done.ptr - data_);
    }
    data_[size_] = '\0';
    return *this;
  }

  char data_[N + 1] = {};
  size_t size_ = 0;
  bool cut_ = false;
};

}  // namespace vorlane
