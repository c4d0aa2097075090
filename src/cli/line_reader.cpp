#include "cli/line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorlane::cli {
namespace {

std::string_view without_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

LineReader::LineReader(int fd, size_t chunk_size) : fd_(fd), chunk_(chunk_size) {}

bool LineReader::fill() {
  begin_ = end_ = 0;
  for (;;) {
    const ssize_t n = ::read(fd_, chunk_.data(), chunk_.size());
    if (n > 0) {
      end_ = static_cast<size_t>(n);
      return true;
    }
    if (n == 0) {
      eof_ = true;
      return false;
    }
    if (errno == EINTR) continue;
    error_ = errno;
    eof_ = true;
    return false;
  }
}

bool LineReader::next(std::string_view& line) {
  bool carrying = false;
  carry_.clear();
  for (;;) {
    if (begin_ < end_) {
      const char* start = chunk_.data() + begin_;
      const size_t available = end_ - begin_;
      const auto* newline = static_cast<const char*>(std::memchr(start, '\n', available));
      if (newline != nullptr) {
        const auto length = static_cast<size_t>(newline - start);
        begin_ += length + 1;
        if (carrying) {
          carry_.append(start, length);
          line = without_cr(carry_);
        } else {
          line = without_cr(std::string_view(start, length));
        }
        return true;
      }
      carry_.append(start, available);
      carrying = true;
      begin_ = end_;
    }
    if (eof_ || !fill()) {
      if (error_ != 0 || !carrying) return false;
      line = without_cr(carry_);
      return true;
    }
  }
}

}  // namespace vorlane::cli
