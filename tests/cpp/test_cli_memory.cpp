// The tool when memory has run out. Global operator new is replaced in this
// executable so that it can be made to refuse: the reports of failed lines
// and the tool's own must still go out whole, since they are made exactly
// when memory is short. A child process with its address space limited
// shows that a line too long to hold gives its memory back at once.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "accel/errors.h"
#include "cli/batch.h"
#include "cli/output.h"
#include "cli/pipeline.h"
#include "cli/reader.h"
#include "replaced_new.h"

namespace {

bool g_refuse = false;
size_t g_refused = 0;

}  // namespace

void replaced_new_hook(size_t) {
  if (g_refuse) {
    ++g_refused;
    throw std::bad_alloc();
  }
}

namespace {

using namespace vorlane::cli;
using vorlane::accel::Base64DecodeError;
using vorlane::accel::Error;

// Both streams kept in memory reserved before anything is refused.
class Captured final : public Output {
 public:
  Captured() {
    out_.reserve(1 << 20);
    err_.reserve(1 << 20);
  }
  bool out(const char* data, size_t size) override {
    out_.append(data, size);
    return true;
  }
  void err(const char* data, size_t size) override {
    err_.append(data, size);
    ++err_writes_;
  }
  std::string out_, err_;
  size_t err_writes_ = 0;
};

class Refusing {
 public:
  Refusing() {
    g_refused = 0;
    g_refuse = true;
  }
  ~Refusing() { g_refuse = false; }
};

TEST(EmitterWithoutMemory, EveryKindOfReportGoesOutWhole) {
  // A name far longer than a report's own room, and many failures at one
  // place: more than one write's worth.
  const std::string long_name(3000, 'n');
  for (const std::string& name : {std::string("<stdin>"), long_name}) {
    Captured output;
    Emitter emitter(output, {name});
    Batch batch;
    batch.out.append("one\ntwo\n", 8);
    batch.lines = 40;
    batch.decoded = 2;
    const Error longest = Error::base64(Base64DecodeError::invalid_last_symbol(UINT64_MAX, 255));
    const Error version = Error::version_not_supported(UINT64_MAX);
    batch.failures.reserve(64);
    batch.failures.push_back({0, 0, LineFailure::Kind::Parse, longest});
    batch.failures.push_back({0, 1, LineFailure::Kind::LeftOver, {}, SIZE_MAX});
    batch.failures.push_back({0, 2, LineFailure::Kind::LeftOver, {}, 1});
    batch.failures.push_back({0, 3, LineFailure::Kind::OutOfMemory});
    for (size_t line = 5; line < 35; ++line) {
      batch.failures.push_back({4, line, LineFailure::Kind::Parse, version});
    }
    batch.failures.push_back({8, 39, LineFailure::Kind::OutOfMemory});

    // A failed check allocates its message: checks come after.
    bool emitted = false;
    {
      Refusing refusing;
      emitted = emitter.emit(batch);
      emitter.report({long_name, ": read failed: ", "Input/output error"});
      emitter.report("out of memory");
    }
    EXPECT_EQ(g_refused, 0u) << "name of " << name.size() << " bytes";
    ASSERT_TRUE(emitted);

    std::string want;
    want += name + ":1: Parsing failed: B64Error(InvalidLastSymbol(18446744073709551615, 255))\n";
    want += name + ":2: 18446744073709551615 bytes left after the record (is -p right?)\n";
    want += name + ":3: 1 byte left after the record (is -p right?)\n";
    want += name + ":4: out of memory\n";
    for (size_t line = 5; line < 35; ++line) {
      want += name + ":" + std::to_string(line + 1) +
              ": Parsing failed: ProtocolVersionNotSupported(18446744073709551615)\n";
    }
    want += name + ":40: out of memory\n";
    want += "vorlane-decode: " + long_name + ": read failed: Input/output error\n";
    want += "vorlane-decode: out of memory\n";
    EXPECT_EQ(output.err_, want);
    EXPECT_EQ(output.out_, "one\ntwo\n");
    EXPECT_EQ(emitter.failed(), 35u);
    EXPECT_EQ(emitter.out_of_memory(), 2u);
    EXPECT_EQ(emitter.lines(), 40u);
  }
}

// A batch decoded when memory has run out: the line that could not be held
// and the lines that fail are told, the short lines decode, nothing is lost.
TEST(PipelineWithoutMemory, ABatchAfterALineTooLongLosesNothing) {
  for (unsigned jobs : {1u, 2u}) {
    Captured output;
    Emitter emitter(output, {"<stdin>"});
    Pipeline pipeline(jobs, 3, false, emitter);
    Batch* batch = pipeline.next();
    ASSERT_NE(batch, nullptr);
    const std::string_view lines = "AR==\nAQMBATICAQTQDwDXBP//Aw==\nAQMBATICAQTQDwDXBP//Aw==\n";
    batch->in.append(lines.data(), lines.size());
    batch->out.reserve(4096);
    batch->dropped = 250'000'001;
    bool drained = false;
    {
      Refusing refusing;
      pipeline.submit();
      drained = pipeline.drain();
    }
    EXPECT_TRUE(drained) << jobs << " jobs";
    EXPECT_EQ(g_refused, 0u) << jobs << " jobs";
    EXPECT_EQ(output.err_,
              "<stdin>:1: Parsing failed: B64Error(InvalidLastSymbol(1, 82))\n"
              "<stdin>:4: out of memory\n") << jobs << " jobs";
    const std::string doc =
        "{\"Accel\":{\"V3\":{\"range\":\"R4G\",\"freq\":\"F100Hz\",\"noise\":\"LowNoise\","
        "\"antialias\":\"QuarterFreq\",\"acc_temp\":25,\"samples\":[{\"x\":-1,\"y\":2,\"z\":1000},"
        "{\"x\":0,\"y\":-300,\"z\":-32768}]}}}\n";
    EXPECT_EQ(output.out_, doc + doc) << jobs << " jobs";
    EXPECT_EQ(emitter.lines(), 4u);
    EXPECT_EQ(emitter.failed(), 2u);
    EXPECT_EQ(emitter.out_of_memory(), 1u);
  }
}

// A line of `length` bytes of "A" made as it is read, then one short line.
class LongLineSource final : public Source {
 public:
  explicit LongLineSource(size_t length) : left_(length) {}
  ssize_t read(char* buffer, size_t size) override {
    if (left_ != 0) {
      const size_t n = std::min(size, left_);
      std::memset(buffer, 'A', n);
      left_ -= n;
      return static_cast<ssize_t>(n);
    }
    const std::string_view rest = tail_.substr(at_);
    const size_t n = std::min(size, rest.size());
    std::memcpy(buffer, rest.data(), n);
    at_ += n;
    return static_cast<ssize_t>(n);
  }
  bool ready() override { return true; }

 private:
  size_t left_;
  std::string_view tail_ = "\nAR==\n";
  size_t at_ = 0;
};

size_t mapped_bytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long pages = 0;
  const int got = std::fscanf(f, "%lu", &pages);
  std::fclose(f);
  return got == 1 ? pages * static_cast<size_t>(::sysconf(_SC_PAGESIZE)) : 0;
}

// In a child: what the reader keeps of a line it cannot hold, in `room`
// bytes of address space more than the process has. The exit code names the
// first check that failed.
constexpr int kLimitIgnored = 77;

int read_past_a_long_line(size_t room) {
  constexpr size_t kLine = size_t{1} << 30;
  const size_t mapped = mapped_bytes();
  if (mapped == 0) return 10;
  const rlimit limit{mapped + room, mapped + room};
  if (::setrlimit(RLIMIT_AS, &limit) != 0) return 11;
  // Under an emulator the limit binds the emulator, not this program.
  if (void* more = std::malloc(room + (size_t{16} << 20))) {
    std::free(more);
    return kLimitIgnored;
  }
  LongLineSource source(kLine);
  BlockReader reader(source, size_t{256} << 10);
  Buffer in;
  if (!reader.next(in)) return 12;
  if (reader.dropped() != kLine + 1 || !in.empty()) return 13;
  if (in.capacity() > (size_t{1} << 20)) return 14;
  // The buffer doubled up to 64 MiB, the last size that fit; that must be
  // free again for the lines after it.
  void* freed = std::malloc(size_t{64} << 20);
  if (freed == nullptr) return 15;
  std::free(freed);
  if (!reader.next(in) || in.view() != "AR==\n" || reader.dropped() != 0) return 16;
  if (reader.next(in)) return 17;
  return 0;
}

TEST(BlockReaderWithoutMemory, ALineTooLongToHoldGivesItsMemoryBackAtOnce) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory cannot live in a limited address space";
#else
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) std::_Exit(read_past_a_long_line(size_t{96} << 20));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) == kLimitIgnored) GTEST_SKIP() << "the address space limit does not bind here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the check that failed, by its code in read_past_a_long_line";
#endif
}

}  // namespace
