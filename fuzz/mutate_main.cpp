// Runs a fuzz target where libFuzzer cannot (another architecture under
// qemu): every seed first, then random mutations of them for the given
// seconds. It has no coverage guidance, so it is only as good as its seeds:
// give it the corpus a libFuzzer run grew. A broken check aborts, as under
// libFuzzer, and the input that broke it is written to the file given.
//
//   fuzz_mutate_T SECONDS RANDOM-SEED CRASH-FILE DIR-OR-FILE...
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kMaxLength = 8192;  // as fuzz/run gives libFuzzer

// The input being run, for the abort handler.
const Bytes* g_current = nullptr;
const char* g_crash_file = nullptr;

void on_abort(int sig) {
  if (g_current != nullptr && g_crash_file != nullptr) {
    const int fd = ::open(g_crash_file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      const ssize_t n = ::write(fd, g_current->data(), g_current->size());
      (void)n;
      ::close(fd);
    }
  }
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void run(const Bytes& input) {
  g_current = &input;
  LLVMFuzzerTestOneInput(input.data(), input.size());
  g_current = nullptr;
}

void load(const std::filesystem::path& path, std::vector<Bytes>& seeds) {
  std::ifstream in(path, std::ios::binary);
  seeds.emplace_back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (seeds.back().size() > kMaxLength) seeds.back().resize(kMaxLength);
}

// One to eight edits of the kinds that reach the decoders' edges: bytes
// changed, put in, taken out; a piece repeated (long runs of samples); a
// piece of another seed spliced in.
Bytes mutate(const std::vector<Bytes>& seeds, std::mt19937_64& rng) {
  auto below = [&](size_t n) { return n == 0 ? size_t{0} : static_cast<size_t>(rng() % n); };
  Bytes out = seeds[below(seeds.size())];
  const size_t edits = 1 + below(8);
  for (size_t e = 0; e < edits; ++e) {
    const size_t at = below(out.size() + 1);
    switch (below(7)) {
      case 0:  // flip a bit
        if (!out.empty()) out[below(out.size())] ^= static_cast<uint8_t>(1u << below(8));
        break;
      case 1: {  // set a byte, often to a varint's edge
        static constexpr uint8_t kEdges[] = {0x00, 0x01, 0x7F, 0x80, 0x81, 0xFF, 0xFE, 0x03, 0x04, '=', 'A', '/'};
        if (!out.empty()) {
          out[below(out.size())] =
              below(2) != 0 ? kEdges[below(std::size(kEdges))] : static_cast<uint8_t>(rng());
        }
        break;
      }
      case 2: {  // insert random bytes
        const size_t n = 1 + below(16);
        for (size_t i = 0; i < n; ++i) out.insert(out.begin() + static_cast<ptrdiff_t>(at), static_cast<uint8_t>(rng()));
        break;
      }
      case 3: {  // erase a range
        const size_t n = std::min(out.size() - std::min(at, out.size()), 1 + below(32));
        out.erase(out.begin() + static_cast<ptrdiff_t>(at), out.begin() + static_cast<ptrdiff_t>(at + n));
        break;
      }
      case 4: {  // repeat a piece
        if (out.empty()) break;
        const size_t from = below(out.size());
        const size_t n = 1 + below(std::min<size_t>(out.size() - from, 12));
        const Bytes piece(out.begin() + static_cast<ptrdiff_t>(from),
                          out.begin() + static_cast<ptrdiff_t>(from + n));
        const size_t times = 1 + below(200);
        for (size_t i = 0; i < times && out.size() < kMaxLength; ++i) {
          out.insert(out.begin() + static_cast<ptrdiff_t>(from), piece.begin(), piece.end());
        }
        break;
      }
      case 5: {  // splice in a piece of another seed
        const Bytes& other = seeds[below(seeds.size())];
        if (other.empty()) break;
        const size_t from = below(other.size());
        const size_t n = 1 + below(other.size() - from);
        out.insert(out.begin() + static_cast<ptrdiff_t>(at), other.begin() + static_cast<ptrdiff_t>(from),
                   other.begin() + static_cast<ptrdiff_t>(from + n));
        break;
      }
      default:  // cut the end
        out.resize(at);
        break;
    }
    if (out.size() > kMaxLength) out.resize(kMaxLength);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s SECONDS RANDOM-SEED CRASH-FILE DIR-OR-FILE...\n", argv[0]);
    return 2;
  }
  const double seconds = std::atof(argv[1]);
  std::mt19937_64 rng(std::strtoull(argv[2], nullptr, 10));
  g_crash_file = argv[3];
  ::signal(SIGABRT, on_abort);
  ::signal(SIGSEGV, on_abort);
  ::signal(SIGBUS, on_abort);
  ::signal(SIGILL, on_abort);
  ::signal(SIGFPE, on_abort);

  std::vector<Bytes> seeds;
  for (int i = 4; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
        if (entry.is_regular_file() && !entry.path().filename().string().starts_with(".")) load(entry.path(), seeds);
      }
    } else if (std::filesystem::is_regular_file(arg)) {
      load(arg, seeds);
    }
  }
  if (seeds.empty()) {
    std::fprintf(stderr, "no seeds\n");
    return 2;
  }
  for (const Bytes& seed : seeds) run(seed);

  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  size_t runs = seeds.size();
  while (std::chrono::steady_clock::now() < end) {
    for (int i = 0; i < 64; ++i, ++runs) run(mutate(seeds, rng));
  }
  std::printf("%zu seeds, %zu runs in all, no broken check\n", seeds.size(), runs);
  return 0;
}
