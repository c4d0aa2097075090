#include "cli/progress.h"

#include "common/fixed_text.h"

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
  FixedText<192> text;
  text << (terminal_ ? "\r" : "") << "vorlane-decode: " << uint64_t{lines}
       << (lines == 1 ? " line, " : " lines, ");
  text.fixed(rate / 1e6, 1) << " MB/s, " << uint64_t{failed} << " failed";
  if (total_ != 0) {
    const double done = bytes >= total_ ? 1.0 : static_cast<double>(bytes) / static_cast<double>(total_);
    const double left = rate > 0 ? static_cast<double>(total_ - (bytes >= total_ ? total_ : bytes)) / rate : 0.0;
    const auto whole = static_cast<uint64_t>(left + 0.5);
    text << ", ";
    text.fixed(done * 100, 0) << "%, " << whole / 60 << (whole % 60 < 10 ? ":0" : ":") << whole % 60
                              << " left";
  }
  text << (terminal_ ? "\033[K" : "\n");
  if (text.cut()) return;
  write(text.view());
  drawn_ = terminal_;
}

void Progress::finish(size_t lines, size_t decoded, size_t failed, uint64_t bytes) {
  clear();
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  FixedText<160> text;
  text << "vorlane-decode: " << uint64_t{lines} << (lines == 1 ? " line, " : " lines, ")
       << uint64_t{decoded} << " decoded, " << uint64_t{failed} << " failed (";
  text.fixed(static_cast<double>(bytes) / 1e6, 1) << " MB in ";
  text.fixed(seconds, 2) << " s)\n";
  write(text.view());
}

}  // namespace vorlane::cli
