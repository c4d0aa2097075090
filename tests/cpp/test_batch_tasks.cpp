// The column decoder's thread pool: every task once, and a failing task
// stops the rest and comes back as the kind of failure it was.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <vector>

#include "batch/columns.h"

namespace {

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

}  // namespace
