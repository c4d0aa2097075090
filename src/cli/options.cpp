#include "cli/options.h"

#include <limits>
#include <tuple>
#include <utility>

namespace vorlane::cli {

const char kUsage[] =
    "usage: vorlane-decode -p VERSION [FILE...]\n"
    "\n"
    "Decodes canonical Base64 accelerometer payloads, one per line, into compact\n"
    "JSON documents, one per line on standard output. With no FILE, or where FILE\n"
    "is -, reads standard input. Empty lines are skipped; a line may end in CRLF.\n"
    "A line that fails is reported on standard error as FILE:LINE: followed by\n"
    "the message BinaryParser.parse raises for it, and decoding goes on.\n"
    "\n"
    "A wrong -p is not always noticed: bytes of one version that happen to fit\n"
    "another's layout decode quietly into wrong documents. --strict catches most\n"
    "such lines, as their record then rarely ends where the payload does.\n"
    "\n"
    "options:\n"
    "  -p, --payload-version VERSION\n"
    "                 payload format version of every line: 1, 2 or 3 (required;\n"
    "                 other numbers up to 18446744073709551615 are accepted and\n"
    "                 reported per line as ProtocolVersionNotSupported)\n"
    "  -j, --jobs N   decode on N threads, the one that reads and writes among\n"
    "                 them (1 to 256; default: one per CPU this process may use);\n"
    "                 the output is the same for every N\n"
    "  --strict       also fail a line whose record leaves bytes of its payload\n"
    "                 unread (FILE:LINE: N bytes left after the record)\n"
    "  --stats FILE   at the end, write the run's counts to FILE as one line of\n"
    "                 JSON: {\"status\":S,\"lines\":N,\"documents\":D,\"failures\":F,\"bytes\":B}\n"
    "  --progress     show progress and a closing summary on standard error\n"
    "                 (the default when standard error is a terminal)\n"
    "  --no-progress  show no progress\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the tool's version and exit\n"
    "  --             end of options; every later argument is a FILE\n"
    "\n"
    "exit status: 0 if every line decoded; 1 if some lines failed and every other\n"
    "line's document was written; 2 if the output is incomplete or was not made:\n"
    "a usage error, an input that could not be opened or read, output not fully\n"
    "written (a reader that closed the pipe, as head does, ends the tool quietly\n"
    "with 2), a line too long for the memory, or an internal error.\n";

bool parse_u64(std::string_view text, uint64_t& out) {
  if (text.empty()) return false;
  uint64_t value = 0;
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = value;
  return true;
}

unsigned default_jobs(long affinity, long online) noexcept {
  const long n = affinity > 0 ? affinity : online;
  if (n <= 0) return 1;
  return n < static_cast<long>(kMaxJobs) ? static_cast<unsigned>(n) : kMaxJobs;
}

namespace {

Failure<UsageError> usage_error(std::string message) { return fail(UsageError{std::move(message)}); }

Failure<UsageError> bad_jobs(std::string_view text) {
  return usage_error("invalid number of jobs '" + std::string(text) + "': expected a whole number from 1 to " +
                     std::to_string(kMaxJobs));
}

Failure<UsageError> bad_version(std::string_view text) {
  return usage_error("invalid payload version '" + std::string(text) +
                     "': expected a whole number from 0 to 18446744073709551615");
}

}  // namespace

Result<Options, UsageError> parse_options(int argc, const char* const* argv) {
  Options options;
  bool have_version = false;
  bool only_files = false;

  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (only_files || arg == "-" || arg.empty() || arg[0] != '-') {
      options.files.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      only_files = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      options.action = Options::Action::Help;
      return options;
    }
    if (arg == "-V" || arg == "--version") {
      options.action = Options::Action::Version;
      return options;
    }

    if (arg == "--progress") {
      options.progress = Options::ProgressMode::On;
      continue;
    }
    if (arg == "--no-progress") {
      options.progress = Options::ProgressMode::Off;
      continue;
    }

    if (arg == "--strict") {
      options.strict = true;
      continue;
    }

    // -p N, -pN, --payload-version N, --payload-version=N, and so for -j;
    // --stats FILE, --stats=FILE.
    std::string_view value;
    char option = 0;
    for (const auto& [short_form, long_form, key] :
         {std::tuple<std::string_view, std::string_view, char>{"-p", "--payload-version", 'p'},
          {"-j", "--jobs", 'j'},
          {"", "--stats", 's'}}) {
      if (arg == long_form || (!short_form.empty() && arg == short_form)) {
        if (i + 1 >= argc) return usage_error("option '" + std::string(arg) + "' needs a value");
        value = argv[++i];
      } else if (!short_form.empty() && arg.starts_with(short_form)) {
        value = arg.substr(2);
      } else if (arg.starts_with(long_form) && arg.size() > long_form.size() &&
                 arg[long_form.size()] == '=') {
        value = arg.substr(long_form.size() + 1);
      } else {
        continue;
      }
      option = key;
      break;
    }
    if (option == 0) return usage_error("unknown option '" + std::string(arg) + "'");
    if (option == 'p') {
      if (!parse_u64(value, options.payload_version)) return bad_version(value);
      have_version = true;
    } else if (option == 's') {
      if (value.empty()) return usage_error("option '--stats' needs a file name");
      options.stats = std::string(value);
    } else {
      uint64_t jobs = 0;
      if (!parse_u64(value, jobs) || jobs < 1 || jobs > kMaxJobs) return bad_jobs(value);
      options.jobs = static_cast<unsigned>(jobs);
    }
  }

  if (!have_version) return usage_error("the payload version is required (-p VERSION)");
  return options;
}

}  // namespace vorlane::cli
