// Decodes batches on worker threads and hands them to the emitter in the
// order they were read. A fixed number of batches is in flight, so memory
// does not grow with the input. The calling thread counts as one of the
// jobs: it reads, writes, and decodes while it would otherwise wait; with
// one job it does everything, and no thread is started.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "cli/batch.h"
#include "cli/output.h"
#include "fused/document.h"

namespace vorlane::cli {

class Pipeline {
 public:
  Pipeline(unsigned jobs, uint64_t version, bool strict, Emitter& emitter);
  ~Pipeline();
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // The batch to fill next; finished batches are written out first while
  // every slot is taken. nullptr once the emitter has stopped.
  Batch* next();
  // Decodes the batch next() gave.
  void submit();
  // Waits for every batch in flight and writes them out. False once the
  // emitter has stopped.
  bool drain();

 private:
  struct Slot {
    Batch batch;
    bool done = false;
  };
  void work();
  void stop_workers() noexcept;
  // Writes the oldest batch in flight; waits for it if `wait`. False if it
  // was not done (and not waited for).
  bool retire(bool wait);

  uint64_t version_;
  bool strict_;
  Emitter& emitter_;
  std::vector<std::unique_ptr<Slot>> slots_;
  size_t head_ = 0;  // oldest in flight
  size_t count_ = 0;  // in flight
  std::unique_ptr<fused::Document> document_;  // the calling thread's

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable batch_done_;
  std::deque<Slot*> queue_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace vorlane::cli
