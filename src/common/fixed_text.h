// Text built in a fixed buffer, for the places that must not allocate: the
// reports made after memory has run out, the refusal to start, the error
// texts of failures that are common in a batch. What does not fit is cut,
// and the text says so (cut()); nothing is ever stored past the buffer.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
  FixedText& operator<<(uint64_t value) noexcept {
    char digits[20];
    return *this << std::string_view(digits, static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits));
  }
  // `value` with `decimals` digits after the point.
  FixedText& fixed(double value, int decimals) noexcept {
    char digits[48];
    const auto done = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, decimals);
    return *this << (done.ec == std::errc() ? std::string_view(digits, static_cast<size_t>(done.ptr - digits)) : "?");
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
  char data_[N + 1] = {};
  size_t size_ = 0;
  bool cut_ = false;
};

}  // namespace vorlane
