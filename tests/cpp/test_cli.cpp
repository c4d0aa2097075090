// The tool's parts below main: the default job count, the block reader at
// every small block size, and batch buffers and decoders that give back what
// a long line made them grow to.
#include <gtest/gtest.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/batch.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/pipeline.h"
#include "cli/reader.h"

using namespace vorlane::cli;

namespace {

TEST(DefaultJobs, AffinityFirstThenOnlineCpusClampedToTheMost) {
  struct Row {
    long affinity, online;
    unsigned jobs;
  };
  const Row rows[] = {
      {2, 64, 2},    {1, 8, 1},        {255, 512, 255}, {256, 512, 256}, {257, 8, 256},
      {4096, 1, 256}, {0, 2, 2},       {-1, 3, 3},      {0, 255, 255},   {0, 256, 256},
      {0, 257, 256},  {0, 100000, 256}, {0, 0, 1},       {0, -1, 1},      {-1, -1, 1},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(default_jobs(row.affinity, row.online), row.jobs)
        << "affinity " << row.affinity << ", online " << row.online;
  }
}

// Hands its bytes over in pieces of up to `piece` bytes; a read of nothing
// (which a file descriptor answers as the end) is a fault of the reader.
class MemorySource final : public Source {
 public:
  MemorySource(std::string_view data, size_t piece) : data_(data), piece_(piece) {}
  ssize_t read(char* buffer, size_t size) override {
    if (size == 0) {
      ++empty_reads_;
      return 0;
    }
    size_t n = std::min({size, piece_, data_.size() - pos_});
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }
  bool ready() override { return true; }
  int empty_reads_ = 0;

 private:
  std::string_view data_;
  size_t piece_;
  size_t pos_ = 0;
};

TEST(BlockReader, EveryBlockSizeFromOneGivesBackTheWholeInputInWholeLines) {
  // Lines past the buffer's first 4096 bytes, which a block of one byte
  // fills before it grows, and short ones around them.
  std::string input;
  for (size_t length : {0u, 1u, 5000u, 3u, 9000u, 4095u, 4096u, 4097u, 0u, 20000u}) {
    input.append(length, 'A').append("\n");
  }
  input.append(6000, 'B');  // a last line without "\n"
  for (size_t block = 1; block <= 64; ++block) {
    for (size_t piece : {size_t{1}, size_t{7}, size_t{100000}}) {
      MemorySource source(input, piece);
      BlockReader reader(source, block);
      Buffer in;
      std::string got;
      while (reader.next(in)) {
        ASSERT_FALSE(in.empty());
        got.append(in.data(), in.size());
        if (got.size() != input.size()) {
          ASSERT_EQ(in.data()[in.size() - 1], '\n');
        }
      }
      ASSERT_EQ(source.empty_reads_, 0) << "block " << block << ", pieces of " << piece;
      ASSERT_EQ(got, input) << "block " << block << ", pieces of " << piece;
      ASSERT_EQ(reader.error(), 0);
    }
  }
}

class NullOutput final : public Output {
 public:
  bool out(const char*, size_t) override { return true; }
  void err(const char*, size_t) override {}
};

// After a batch that held one long line, every batch buffer is back below
// the kept size, for one job (one batch) and for several (a ring of them).
TEST(Pipeline, BuffersGrownForALongLineAreGivenBack) {
  const std::string short_line = "AQMBATICAQTQDwDXBP//Aw==\n";
  for (unsigned jobs : {1u, 3u}) {
#if defined(__GLIBC__)
    const auto before = mallinfo2();
    const size_t in_use = before.uordblks + before.hblkhd;
#endif
    NullOutput output;
    Emitter emitter(output, {"in"});
    Pipeline pipeline(jobs, 3, false, emitter);
    size_t many_lines = 0;
    {
      const std::string long_line = std::string(kKeptCapacity + 100, 'A') + "\n";
      // The documents grow past the kept size too: many short lines at once.
      std::string many;
      while (many.size() < kKeptCapacity / 5) many += short_line;
      many_lines = many.size() / short_line.size();
      for (const std::string* text : std::vector<const std::string*>{&long_line, &many}) {
        Batch* batch = pipeline.next();
        ASSERT_NE(batch, nullptr);
        batch->in.clear();
        batch->in.append(text->data(), text->size());
        pipeline.submit();
        ASSERT_TRUE(pipeline.drain());
      }
    }
    // Every slot once over (a ring holds 2 * jobs + 2 of them).
    for (unsigned i = 0; i < 2 * jobs + 2; ++i) {
      Batch* batch = pipeline.next();
      ASSERT_NE(batch, nullptr);
      EXPECT_LE(batch->in.capacity(), kKeptCapacity) << jobs << " jobs, slot " << i;
      EXPECT_LE(batch->out.capacity(), kKeptCapacity) << jobs << " jobs, slot " << i;
      batch->in.clear();
      batch->in.append(short_line.data(), short_line.size());
      pipeline.submit();
    }
    ASSERT_TRUE(pipeline.drain());
#if defined(__GLIBC__)
    // Nor does a decoder keep the long line's decoded bytes (6 MB): what is
    // left is the kept buffers of the batches, 2 MiB and less.
    const auto info = mallinfo2();
    EXPECT_LT(info.uordblks + info.hblkhd - in_use, size_t{4} << 20) << jobs << " jobs";
#endif
    // The long line of zero bytes decodes too (a record and bytes after it).
    EXPECT_EQ(emitter.failed(), 0u);
    EXPECT_EQ(emitter.decoded(), 1 + many_lines + 2 * jobs + 2);
  }
}

}  // namespace
