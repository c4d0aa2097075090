#include "cli/progress.h"

#include <cstdio>

#include "cli/output.h"

namespace vorlane::cli {

Progress::Progress(Output& output, bool terminal, uint64_t total)
    : output_(output), terminal_(terminal), total_(total) {}

void Progress::write(std::string_view text) { output_.err(text.data(), text.size()); }

void Progress::clear() {
  if (!drawn_) return;
  write("\r\033[K");
  drawn_ = false;
}

void Progress::update(uint64_t bytes, size_t lines, size_t failed) {
  const auto now = Clock::now();
  // A terminal is redrawn five times a second; a log gets a line a second.
  const auto every = terminal_ ? std::chrono::milliseconds(200) : std::chrono::milliseconds(1000);
  if (now - last_ < every) return;
  last_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0;
  // Made on the stack: it is drawn while memory may have run out.
  char text[192];
  int n = std::snprintf(text, sizeof text, "%svorlane-decode: %zu %s, %.1f MB/s, %zu failed",
                        terminal_ ? "\r" : "", lines, lines == 1 ? "line" : "lines", rate / 1e6,
                        failed);
  if (total_ != 0 && n > 0 && static_cast<size_t>(n) < sizeof text) {
    const double done = bytes >= total_ ? 1.0 : static_cast<double>(bytes) / static_cast<double>(total_);
    const double left = rate > 0 ? static_cast<double>(total_ - (bytes >= total_ ? total_ : bytes)) / rate : 0.0;
    const auto whole = static_cast<unsigned long>(left + 0.5);
    n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ", %.0f%%, %lu:%02lu left",
                       done * 100, whole / 60, whole % 60);
  }
  if (n <= 0 || static_cast<size_t>(n) >= sizeof text - 4) return;
  n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "%s", terminal_ ? "\033[K" : "\n");
  write({text, static_cast<size_t>(n)});
  drawn_ = terminal_;
}

void Progress::finish(size_t lines, size_t decoded, size_t failed, uint64_t bytes) {
  clear();
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  char text[160];
  std::snprintf(text, sizeof text,
                "vorlane-decode: %zu %s, %zu decoded, %zu failed (%.1f MB in %.2f s)\n", lines,
                lines == 1 ? "line" : "lines", decoded, failed, static_cast<double>(bytes) / 1e6,
                seconds);
  write(text);
}

}  // namespace vorlane::cli
