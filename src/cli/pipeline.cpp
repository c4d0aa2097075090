#include "cli/pipeline.h"

#include "cli/decode.h"

namespace vorlane::cli {

Pipeline::Pipeline(unsigned jobs, uint64_t version, bool strict, Emitter& emitter)
    : version_(version), strict_(strict), emitter_(emitter), document_(std::make_unique<fused::Document>()) {
  // The calling thread is one of the jobs: between its reads and writes it
  // decodes batches too. Two batches per job: one being decoded, one read
  // and waiting; and two more for the batch being read and the one being
  // written.
  const size_t slots = jobs <= 1 ? 1 : 2 * size_t{jobs} + 2;
  for (size_t i = 0; i < slots; ++i) {
    slots_.push_back(std::make_unique<Slot>());
    // A failure is kept even when memory has run out (a line too long to
    // hold comes with such a time); a batch that cannot keep one is lost.
    slots_.back()->batch.failures.reserve(kKeptFailures);
  }
  try {
    for (unsigned i = 1; i < jobs; ++i) workers_.emplace_back([this] { work(); });
  } catch (...) {
    stop_workers();
    throw;
  }
}

Pipeline::~Pipeline() { stop_workers(); }

void Pipeline::stop_workers() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
  workers_.clear();
}

void Pipeline::work() {
  fused::Document document;
  for (;;) {
    Slot* slot;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      slot = queue_.front();
      queue_.pop_front();
    }
    decode_batch(slot->batch, version_, strict_, document);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      slot->done = true;
    }
    batch_done_.notify_all();
  }
}

bool Pipeline::retire(bool wait) {
  Slot& slot = *slots_[head_];
  {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!slot.done) {
      if (!wait) return false;
      if (queue_.empty()) {
        batch_done_.wait(lock);
        continue;
      }
      // Rather than wait, decode a batch that no worker has taken yet.
      Slot* taken = queue_.front();
      queue_.pop_front();
      lock.unlock();
      decode_batch(taken->batch, version_, strict_, *document_);
      lock.lock();
      taken->done = true;
    }
    slot.done = false;
  }
  head_ = (head_ + 1) % slots_.size();
  --count_;
  emitter_.emit(slot.batch);
  trim(slot.batch);
  return true;
}

Batch* Pipeline::next() {
  if (workers_.empty()) {
    return emitter_.stop() == Emitter::Stop::None ? &slots_[0]->batch : nullptr;
  }
  // Whatever is finished goes out now; a full ring waits for its oldest.
  while (count_ != 0 && retire(count_ == slots_.size())) {
  }
  if (emitter_.stop() != Emitter::Stop::None) return nullptr;
  return &slots_[(head_ + count_) % slots_.size()]->batch;
}

void Pipeline::submit() {
  if (workers_.empty()) {
    decode_batch(slots_[0]->batch, version_, strict_, *document_);
    emitter_.emit(slots_[0]->batch);
    trim(slots_[0]->batch);
    return;
  }
  Slot* slot = slots_[(head_ + count_) % slots_.size()].get();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(slot);
  }
  ++count_;
  work_ready_.notify_one();
}

bool Pipeline::drain() {
  while (count_ != 0) retire(true);
  return emitter_.stop() == Emitter::Stop::None;
}

}  // namespace vorlane::cli
