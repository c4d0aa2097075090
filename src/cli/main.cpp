// vorlane-decode: Base64 payloads in, one per line; JSON documents out, one
// per line. Runs on the core alone, with no Python.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "accel/entry.h"
#include "accel/errors.h"
#include "cli/line_reader.h"
#include "cli/options.h"
#include "json/document.h"

#ifndef VORLANE_VERSION
#error "VORLANE_VERSION must be defined by the build"
#endif

namespace vorlane::cli {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char kStdinName[] = "<stdin>";

void write_stderr(const std::string& text) {
  // Documents written so far go out first, so a terminal shows the report
  // next to the line that caused it.
  std::fflush(stdout);
  std::fwrite(text.data(), 1, text.size(), stderr);
}

void report(std::string_view what, int err) {
  std::string text = "vorlane-decode: ";
  text.append(what).append(": ").append(std::strerror(err)).append("\n");
  write_stderr(text);
}

class Decoder {
 public:
  explicit Decoder(uint64_t version) : version_(version) {}

  // Decodes every line of one input. False if a line failed or the input
  // could not be read.
  bool run(int fd, std::string_view name) {
    LineReader reader(fd);
    std::string_view line;
    bool ok = true;
    size_t number = 0;
    while (reader.next(line)) {
      ++number;
      if (line.empty()) continue;
      if (!decode_line(line, name, number)) ok = false;
      if (std::ferror(stdout)) return false;
    }
    if (reader.error() != 0) {
      report(std::string(name) + ": read failed", reader.error());
      return false;
    }
    return ok;
  }

 private:
  bool decode_line(std::string_view line, std::string_view name, size_t number) {
    auto decoded = accel::decode_b64(version_, line);
    if (!decoded.ok()) {
      std::string text(name);
      text.append(":").append(std::to_string(number)).append(": Parsing failed: ");
      text.append(accel::debug_text(decoded.error())).append("\n");
      write_stderr(text);
      return false;
    }
    const std::string document = json::to_json_text(json::NCDataPayload{std::move(decoded).value()});
    std::fwrite(document.data(), 1, document.size(), stdout);
    std::fputc('\n', stdout);
    return true;
  }

  uint64_t version_;
};

int decode_all(const Options& options) {
  // Large blocks for files and pipes; whole lines for someone watching.
  static char out_buffer[1 << 16];
  std::setvbuf(stdout, out_buffer, ::isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, sizeof out_buffer);

  Decoder decoder(options.payload_version);
  bool ok = true;
  if (options.files.empty()) {
    ok = decoder.run(STDIN_FILENO, kStdinName);
  } else {
    for (const std::string& file : options.files) {
      if (file == "-") {
        ok = decoder.run(STDIN_FILENO, kStdinName) && ok;
        continue;
      }
      const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        report(file, errno);
        ok = false;
        continue;
      }
      ok = decoder.run(fd, file) && ok;
      ::close(fd);
      if (std::ferror(stdout)) break;
    }
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    report("write failed", errno);
    return kExitFailed;
  }
  return ok ? kExitOk : kExitFailed;
}

int run(int argc, const char* const* argv) {
  auto parsed = parse_options(argc, argv);
  if (!parsed.ok()) {
    std::fprintf(stderr, "vorlane-decode: %s\nTry 'vorlane-decode --help' for more information.\n",
                 parsed.error().message.c_str());
    return kExitUsage;
  }
  const Options& options = parsed.value();
  switch (options.action) {
    case Options::Action::Help:
      std::fputs(kUsage, stdout);
      return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
    case Options::Action::Version:
      std::fputs("vorlane-decode " VORLANE_VERSION "\n", stdout);
      return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
    case Options::Action::Decode:
      break;
  }
  return decode_all(options);
}

}  // namespace
}  // namespace vorlane::cli

int main(int argc, char** argv) {
  try {
    return vorlane::cli::run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("vorlane-decode: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "vorlane-decode: %s\n", e.what());
  }
  return vorlane::cli::kExitFailed;
}
