#include "cli/reader.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace vorlane::cli {
namespace {

// The last line feed in [p, p + n), or null.
const char* last_line_feed(const char* p, size_t n) {
#if defined(__linux__)
  return static_cast<const char*>(memrchr(p, '\n', n));
#else
  // memrchr is a GNU extension (macOS has none).
  while (n > 0) {
    if (p[--n] == '\n') return p + n;
  }
  return nullptr;
#endif
}

}  // namespace

bool BlockReader::next(Buffer& in) {
  in.clear();
  dropped_ = 0;
  if (error_ != 0) return false;
  try {
    return fill(in);
  } catch (const std::bad_alloc&) {
    return drop_line(in);
  }
}

bool BlockReader::drop_line(Buffer& in) {
  // The whole lines before the line that did not fit go out; that line is
  // read past, counted and not kept.
  if (carry_.size() != 0) {
    dropped_ = carry_.size();  // memory ran out taking it over
    in.clear();
  } else {
    const char* found = last_line_feed(in.data(), in.size());
    const size_t keep = found != nullptr ? static_cast<size_t>(found - in.data()) + 1 : 0;
    dropped_ = in.size() - keep;
    in.set_size(keep);
  }
  // What the line took goes back now, before the lines after it and the
  // batches in flight need memory.
  in.shrink_to_fit();
  carry_.release();
  char scratch[4096];
  while (!end_) {
    const ssize_t n = source_.read(scratch, sizeof scratch);
    if (n > 0) {
      const auto* newline = static_cast<const char*>(std::memchr(scratch, '\n', static_cast<size_t>(n)));
      if (newline == nullptr) {
        dropped_ += static_cast<size_t>(n);
        continue;
      }
      const auto line_end = static_cast<size_t>(newline - scratch) + 1;
      dropped_ += line_end;
      carry_.append(scratch + line_end, static_cast<size_t>(n) - line_end);
      break;
    }
    if (n == 0) {
      end_ = true;
    } else if (errno != EINTR) {
      // A line cut short is not reported, as when nothing ran out.
      error_ = errno;
      end_ = true;
      dropped_ = 0;
    }
  }
  return !in.empty() || dropped_ != 0;
}

bool BlockReader::fill(Buffer& in) {
  in.append(carry_.data(), carry_.size());
  // A carry far above a block held one long line: its memory goes back.
  if (carry_.capacity() > kKeptCarryBlocks * block_) {
    carry_.release();
  } else {
    carry_.clear();
  }
  size_t searched = 0;  // bytes of `in` already searched for "\n"
  size_t cut = 0;       // just past the last "\n" found, 0 if none
  for (;;) {
    if (end_) return !in.empty();
    if (!in.empty() && (in.size() >= block_ || !source_.ready())) {
      // Cut after the last line end; without one, a line goes on past
      // what is here, so read on.
      const size_t fresh = in.size() - searched;
      const char* found = last_line_feed(in.data() + searched, fresh);
      if (found != nullptr) cut = static_cast<size_t>(found - in.data()) + 1;
      searched = in.size();
      if (cut != 0) {
        carry_.append(in.data() + cut, in.size() - cut);
        in.set_size(cut);
        return true;
      }
    }
    // Room for a block more; a long line doubles the buffer as it grows.
    // Never a read of nothing, which would look like the end of the input.
    if (in.capacity() - in.size() < block_ / 2 || in.capacity() < block_ ||
        in.capacity() == in.size()) {
      in.reserve(in.size() + block_);
    }
    const ssize_t n = source_.read(in.data() + in.size(), in.capacity() - in.size());
    if (n > 0) {
      in.set_size(in.size() + static_cast<size_t>(n));
    } else if (n == 0) {
      end_ = true;
    } else if (errno != EINTR) {
      error_ = errno;
      end_ = true;
      // Only whole lines are kept.
      const char* found = last_line_feed(in.data(), in.size());
      in.set_size(found != nullptr ? static_cast<size_t>(found - in.data()) + 1 : 0);
      return !in.empty();
    }
  }
}

FdSource::FdSource(int fd) : fd_(fd) {
  struct stat st {};
  always_ready_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

ssize_t FdSource::read(char* buffer, size_t size) { return ::read(fd_, buffer, size); }

bool FdSource::ready() {
  if (always_ready_) return true;
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) != 0;
}

}  // namespace vorlane::cli
