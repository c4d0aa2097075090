// vorlane-decode: Base64 payloads in, one per line; JSON documents out, one
// per line. Runs on the core alone, with no Python: the input is read in
// large blocks, cut into batches of whole lines, decoded through the fused
// road on worker threads and written out in input order.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

#ifndef VORLANE_VERSION
#error "VORLANE_VERSION must be defined by the build"
#endif

namespace vorlane::cli {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char kStdinName[] = "<stdin>";
// Input bytes per batch: large enough that a batch costs one read and one
// write, small enough that a batch and its documents stay near the cache.
constexpr size_t kBlockBytes = size_t{256} << 10;

unsigned available_cpus() {
#if defined(__linux__)
  // The CPUs this process may run on, which a container or taskset may
  // limit below the machine's.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n) < kMaxJobs ? static_cast<unsigned>(n) : kMaxJobs;
  }
#endif
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 && n < static_cast<long>(kMaxJobs) ? static_cast<unsigned>(n) : 1;
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

int decode_all(const Options& options) {
  // A reader that goes away (| head) is seen as EPIPE on a write, not as a
  // signal, so the tool can end quietly.
  ::signal(SIGPIPE, SIG_IGN);

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
  Pipeline pipeline(jobs, options.payload_version, emitter);

  bool ok = true;
  for (size_t i = 0; i < files.size(); ++i) {
    int fd = STDIN_FILENO;
    if (files[i] != "-") {
      fd = ::open(files[i].c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        const int err = errno;
        if (!pipeline.drain()) break;
        emitter.report(files[i] + ": " + std::strerror(err));
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
      pipeline.submit();
    }
    if (fd != STDIN_FILENO) ::close(fd);
    if (reader.error() != 0) {
      if (!pipeline.drain()) break;
      emitter.report(names[i] + ": read failed: " + std::strerror(reader.error()));
      ok = false;
    }
    if (emitter.stop() != Emitter::Stop::None) break;
  }
  pipeline.drain();

  switch (emitter.stop()) {
    case Emitter::Stop::None:
      break;
    case Emitter::Stop::Closed:
      // The reader has all it wanted: nothing to report.
      if (progress) progress->clear();
      return kExitFailed;
    case Emitter::Stop::WriteFailed:
      emitter.report(std::string("write failed: ") + std::strerror(emitter.write_error()));
      return kExitFailed;
    case Emitter::Stop::OutOfMemory:
      emitter.report("out of memory");
      return kExitFailed;
    case Emitter::Stop::InternalError:
      emitter.report("internal error: a document's length differs from its measure");
      return kExitFailed;
  }
  if (progress) {
    progress->finish(emitter.lines(), emitter.decoded(), emitter.failed(), emitter.bytes());
  }
  return ok && emitter.failed() == 0 ? kExitOk : kExitFailed;
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
    std::fputs("vorlane-decode: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vorlane-decode: %s\n", e.what());
  }
  return vorlane::cli::kExitFailed;
}
