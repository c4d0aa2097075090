#include "cli/output.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "cli/progress.h"
#include "common/fixed_text.h"

namespace vorlane::cli {
namespace {

bool write_all(int fd, const char* data, size_t size) {
  while (size != 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n >= 0) {
      data += n;
      size -= static_cast<size_t>(n);
    } else if (errno == EAGAIN) {
      // A descriptor someone made non-blocking: wait until it takes more.
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, -1);
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool StdOutput::out(const char* data, size_t size) { return write_all(STDOUT_FILENO, data, size); }

void StdOutput::err(const char* data, size_t size) {
  const int saved = errno;
  write_all(STDERR_FILENO, data, size);  // nowhere left to report a failure
  errno = saved;
}

bool Emitter::out(const char* data, size_t size) {
  if (size == 0 || stop_ != Stop::None) return stop_ == Stop::None;
  if (output_.out(data, size)) return true;
  write_error_ = errno;
  stop_ = errno == EPIPE ? Stop::Closed : Stop::WriteFailed;
  return false;
}

void Emitter::err(std::string_view text) {
  if (text.empty()) return;
  if (progress_ != nullptr) progress_->clear();
  output_.err(text.data(), text.size());
}

Emitter::Emitter(Output& output, std::vector<std::string> names, Progress* progress)
    : output_(output), names_(std::move(names)), progress_(progress) {
  size_t longest = 0;
  for (const std::string& name : names_) longest = std::max(longest, name.size());
  // Several reports at one place go out in one write while they fit.
  text_.reserve(4 * (longest + kReportRoom));
}

void Emitter::report(std::initializer_list<std::string_view> parts) {
  // On the stack, written in pieces only past its size (a long file name).
  FixedText<kReportLine> line;
  const auto put = [&](std::string_view text) {
    for (text = line.fill(text); !text.empty(); text = line.fill(text)) {
      err(line.view());
      line.clear();
    }
  };
  put("vorlane-decode: ");
  for (std::string_view part : parts) put(part);
  put("\n");
  err(line.view());
}

bool Emitter::emit(const Batch& batch) {
  if (stop_ != Stop::None) return false;
  if (batch.out_of_memory) {
    stop_ = Stop::OutOfMemory;
    return false;
  }
  if (batch.internal_error) {
    stop_ = Stop::InternalError;
    return false;
  }
  if (batch.input != input_) {
    input_ = batch.input;
    line_base_ = 0;
  }
  const std::string_view name = names_[batch.input];
  size_t written = 0;
  const auto& failures = batch.failures;
  for (size_t i = 0; i < failures.size();) {
    // Documents before the failure, then the reports of every failure at
    // the same place in one write (lines that failed one after another).
    const size_t at = failures[i].out_offset;
    if (!out(batch.out.data() + written, at - written)) return false;
    written = at;
    text_.clear();
    for (; i < failures.size() && failures[i].out_offset == at; ++i) {
      // Within the room reserved up front, so that no report allocates.
      if (text_.size() + name.size() + kReportRoom > text_.capacity()) {
        err(text_);
        text_.clear();
      }
      char number[24];
      const auto end = std::to_chars(number, number + sizeof number,
                                     line_base_ + failures[i].line + 1).ptr;
      text_.append(name).append(":").append(number, end).append(": ");
      const LineFailure& failure = failures[i];
      switch (failure.kind) {
        case LineFailure::Kind::Parse:
          text_.append(accel::failure_message(failure.error).view());
          break;
        case LineFailure::Kind::LeftOver: {
          const auto left_end = std::to_chars(number, number + sizeof number, failure.left).ptr;
          text_.append(number, left_end)
              .append(failure.left == 1 ? " byte" : " bytes")
              .append(" left after the record (is -p right?)");
          break;
        }
        case LineFailure::Kind::OutOfMemory:
          text_.append("out of memory");
          ++out_of_memory_;
          break;
      }
      text_.append("\n");
    }
    err(text_);
  }
  if (!out(batch.out.data() + written, batch.out.size() - written)) return false;
  line_base_ += batch.lines;
  lines_ += batch.lines;
  decoded_ += batch.decoded;
  failed_ += failures.size();
  bytes_ += batch.in.size() + batch.dropped;
  if (progress_ != nullptr) progress_->update(bytes_, lines_, failed_);
  return true;
}

}  // namespace vorlane::cli
