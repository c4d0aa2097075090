// vorlane-decode: Base64 payloads in, one per line; JSON documents out, one
// per line. Runs on the core alone, with no Python: the input is read in
// large blocks, cut into batches of whole lines, decoded through the fused
// fast path on worker threads and written out in input order.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"
#include "cli/output.h"
#include "cli/pipeline.h"
#include "cli/progress.h"
#include "cli/reader.h"
#include "common/cpu_path.h"

#ifndef VORLANE_VERSION
#error "VORLANE_VERSION must be defined by the build"
#endif

namespace vorlane::cli {
namespace {

// After grep: 0, every line decoded; 1, some lines failed and every other
// line's document is written; 2, the output is incomplete or was not made.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitTrouble = 2;

constexpr const char kStdinName[] = "<stdin>";

unsigned available_cpus() {
  long affinity = 0;
#if defined(__linux__)
  // The CPUs this process may run on, which a container or taskset may
  // limit below the machine's.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) affinity = CPU_COUNT(&set);
#endif
  return default_jobs(affinity, ::sysconf(_SC_NPROCESSORS_ONLN));
}

// The inputs' total size when every one is a regular file, else 0.
uint64_t total_size(const std::vector<std::string>& files) {
  uint64_t total = 0;
  struct stat st {};
  for (const std::string& file : files) {
    const int r = file == "-" ? ::fstat(STDIN_FILENO, &st) : ::stat(file.c_str(), &st);
    if (r != 0 || !S_ISREG(st.st_mode)) return 0;
    total += static_cast<uint64_t>(st.st_size);
  }
  return total;
}

// Reads every input through the pipeline. False if an input could not be
// opened or read.
bool decode_inputs(const std::vector<std::string>& files, const std::vector<std::string>& names,
                   Pipeline& pipeline, Emitter& emitter) {
  bool ok = true;
  for (size_t i = 0; i < files.size(); ++i) {
    int fd = STDIN_FILENO;
    if (files[i] != "-") {
      fd = ::open(files[i].c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        const int err = errno;
        if (!pipeline.drain()) break;
        emitter.report({files[i], ": ", std::strerror(err)});
        ok = false;
        continue;
      }
    }
    FdSource source(fd);
    BlockReader reader(source, kBlockBytes);
    for (;;) {
      // Input that is not there yet (a pipe, a terminal): what is decoded
      // goes out before the tool waits for more.
      if (!source.ready() && !pipeline.drain()) break;
      Batch* batch = pipeline.next();
      if (batch == nullptr || !reader.next(batch->in)) break;
      batch->input = i;
      batch->dropped = reader.dropped();
      pipeline.submit();
    }
    if (fd != STDIN_FILENO) ::close(fd);
    if (reader.error() != 0) {
      if (!pipeline.drain()) break;
      emitter.report({names[i], ": read failed: ", std::strerror(reader.error())});
      ok = false;
    }
    if (emitter.stop() != Emitter::Stop::None) break;
  }
  pipeline.drain();
  return ok;
}

// The counts as one line of JSON, written whole. False if it was not.
bool write_stats(int fd, int status, const Emitter& emitter) {
  char text[160];
  const int n = std::snprintf(text, sizeof text,
                              "{\"status\":%d,\"lines\":%zu,\"documents\":%zu,\"failures\":%zu,"
                              "\"bytes\":%" PRIu64 "}\n",
                              status, emitter.lines(), emitter.decoded(), emitter.failed(),
                              emitter.bytes());
  if (n <= 0 || static_cast<size_t>(n) >= sizeof text) return false;
  const char* p = text;
  auto left = static_cast<size_t>(n);
  while (left != 0) {
    const ssize_t w = ::write(fd, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    left -= static_cast<size_t>(w);
  }
  return true;
}

int decode_all(const Options& options) {
  // A reader that goes away (| head) is seen as EPIPE on a write, not as a
  // signal, so the tool can end quietly.
  ::signal(SIGPIPE, SIG_IGN);

  // Opened before any input is read: a place the counts cannot go is
  // known at once.
  int stats_fd = -1;
  if (!options.stats.empty()) {
    stats_fd = ::open(options.stats.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (stats_fd < 0) {
      std::fprintf(stderr, "vorlane-decode: %s: %s\n", options.stats.c_str(), std::strerror(errno));
      return kExitTrouble;
    }
  }

  std::vector<std::string> files = options.files;
  if (files.empty()) files.emplace_back("-");
  std::vector<std::string> names;
  for (const std::string& file : files) names.push_back(file == "-" ? kStdinName : file);

  StdOutput output;
  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  const bool show_progress = options.progress == Options::ProgressMode::On ||
                             (options.progress == Options::ProgressMode::Auto && terminal);
  std::optional<Progress> progress;
  if (show_progress) progress.emplace(output, terminal, total_size(files));
  Emitter emitter(output, names, progress ? &*progress : nullptr);
  const unsigned jobs = options.jobs != 0 ? options.jobs : available_cpus();

  int status = kExitOk;
  try {
    Pipeline pipeline(jobs, options.payload_version, options.strict, emitter);
    const bool inputs_ok = decode_inputs(files, names, pipeline, emitter);
    switch (emitter.stop()) {
      case Emitter::Stop::None:
        if (progress) {
          progress->finish(emitter.lines(), emitter.decoded(), emitter.failed(), emitter.bytes());
        }
        status = !inputs_ok || emitter.out_of_memory() != 0 ? kExitTrouble
                 : emitter.failed() != 0                    ? kExitFailed
                                                            : kExitOk;
        break;
      case Emitter::Stop::Closed:
        // The reader has all it wanted: nothing to report.
        if (progress) progress->clear();
        status = kExitTrouble;
        break;
      case Emitter::Stop::WriteFailed:
        emitter.report({"write failed: ", std::strerror(emitter.write_error())});
        status = kExitTrouble;
        break;
      case Emitter::Stop::OutOfMemory:
        emitter.report("out of memory");
        status = kExitTrouble;
        break;
      case Emitter::Stop::InternalError:
        emitter.report("internal error: a document's length differs from its measure");
        status = kExitTrouble;
        break;
    }
  } catch (const std::bad_alloc&) {
    emitter.report("out of memory");
    status = kExitTrouble;
  } catch (const std::exception& e) {
    emitter.report({"internal error: ", e.what()});
    status = kExitTrouble;
  }

  if (stats_fd >= 0) {
    bool written = write_stats(stats_fd, status, emitter);
    int err = errno;
    if (::close(stats_fd) != 0 && written) {
      written = false;
      err = errno;
    }
    if (!written) {
      emitter.report({options.stats, ": write failed: ", std::strerror(err)});
      status = kExitTrouble;
    }
  }
  return status;
}

int run(int argc, const char* const* argv) {
  auto parsed = parse_options(argc, argv);
  if (!parsed.ok()) {
    std::fprintf(stderr, "vorlane-decode: %s\nTry 'vorlane-decode --help' for more information.\n",
                 parsed.error().message.c_str());
    return kExitTrouble;
  }
  const Options& options = parsed.value();
  switch (options.action) {
    case Options::Action::Help:
      std::fputs(kUsage, stdout);
      return std::fflush(stdout) == 0 ? kExitOk : kExitTrouble;
    case Options::Action::Version:
      std::fputs("vorlane-decode " VORLANE_VERSION "\n", stdout);
      // The build and the kernels it takes here, for benchmarks' reports.
      std::puts(cpu::describe_choice().c_str());
      return std::fflush(stdout) == 0 ? kExitOk : kExitTrouble;
    case Options::Action::Decode:
      break;
  }
  return decode_all(options);
}

}  // namespace
}  // namespace vorlane::cli

int main(int argc, char** argv) {
  // A build forced to a CPU path this CPU lacks stops before its kernels run.
  const vorlane::cpu::Line refused = vorlane::cpu::forced_path_refusal();
  if (!refused.empty()) {
    std::fprintf(stderr, "vorlane-decode: %s\n", refused.c_str());
    return vorlane::cli::kExitTrouble;
  }
  try {
    return vorlane::cli::run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("vorlane-decode: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vorlane-decode: internal error: %s\n", e.what());
  }
  return vorlane::cli::kExitTrouble;
}
