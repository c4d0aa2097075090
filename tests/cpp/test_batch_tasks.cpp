// The column decoder's thread pool: every task once, and a failing task
// stops the rest and comes back as the kind of failure it was; so does a
// failing row while other threads wait for their turn to copy; released
// output buffers are kept for outputs of about their size.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch/columns.h"

namespace {

using vorlane::batch::Row;
using vorlane::batch::run_tasks;

TEST(RunTasks, EveryTaskRunsOnceWhateverTheThreads) {
  for (unsigned threads : {1u, 2u, 8u}) {
    std::vector<std::atomic<int>> runs(100);
    run_tasks(100, threads, [&](int64_t i) { runs[static_cast<size_t>(i)]++; });
    for (const auto& r : runs) EXPECT_EQ(r.load(), 1) << threads << " threads";
  }
}

TEST(RunTasks, AFailureStopsTheRestAndIsThrownByItsKind) {
  int ran = 0;
  EXPECT_THROW(run_tasks(1000, 1, [&](int64_t i) {
                 ++ran;
                 if (i == 5) throw std::bad_alloc();
               }),
               std::bad_alloc);
  EXPECT_EQ(ran, 6);
  for (unsigned threads : {1u, 3u}) {
    EXPECT_THROW(run_tasks(100, threads, [](int64_t i) {
                   if (i == 40) throw std::bad_alloc();
                 }),
                 std::bad_alloc);
    EXPECT_THROW(run_tasks(100, threads, [](int64_t i) {
                   if (i == 40) throw std::length_error("too long");
                 }),
                 std::runtime_error);
  }
}

TEST(DecodeInOrder, AFailingRowIsThrownAndNoThreadIsLeftWaiting) {
  const std::string payload = "AQMBATICAQTQDwDXBP//Aw==";
  for (int64_t bad : {int64_t{0}, int64_t{255}, int64_t{256}, int64_t{5000}, int64_t{9999}}) {
    for (unsigned threads : {1u, 2u, 4u}) {
      const auto source = [&](int64_t row) {
        if (row == bad) throw std::bad_alloc();
        return Row{Row::Kind::Text, payload, 3};
      };
      EXPECT_THROW(vorlane::batch::decode_documents(source, 10000, 240000, threads), std::bad_alloc)
          << "row " << bad << ", " << threads << " threads";
      EXPECT_THROW(vorlane::batch::decode_records(source, 10000, 240000, threads), std::bad_alloc)
          << "row " << bad << ", " << threads << " threads";
    }
  }
}

TEST(KeptBuffers, TakenOnlyByAnOutputOfAboutTheirSize) {
  using vorlane::batch::give_kept;
  using vorlane::batch::take_kept;
  constexpr size_t kMiB = size_t{1} << 20;
  size_t capacity = 0;
  while (void* left = take_kept(1, capacity)) std::free(left);  // from other tests
  EXPECT_EQ(take_kept(kMiB, capacity), nullptr);
  void* kept = std::malloc(16 * kMiB);
  ASSERT_NE(kept, nullptr);
  give_kept(kept, 16 * kMiB);
  EXPECT_EQ(take_kept(2 * kMiB, capacity), nullptr);  // far larger: left for its like
  void* taken = take_kept(8 * kMiB, capacity);
  EXPECT_EQ(taken, kept);
  EXPECT_EQ(capacity, 16 * kMiB);
  static_cast<char*>(taken)[16 * kMiB - 1] = 1;  // all of it still writable
  give_kept(taken, 16 * kMiB);
  EXPECT_EQ(take_kept(32 * kMiB, capacity), nullptr);  // too small: freed
  EXPECT_EQ(take_kept(8 * kMiB, capacity), nullptr);
}

}  // namespace
