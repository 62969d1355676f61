#include "pool/worker_pool.hpp"

namespace quadlite {

WorkerPool::WorkerPool(std::uint64_t workers) {
  const std::uint64_t count = std::max<std::uint64_t>(workers, 1);
  threads_.reserve(count);
  // share_out never queues more helpers than there are workers, so the
  // queue never grows past this.
  reserve_tasks(tasks_, count);
  try {
    for (std::uint64_t i = 0; i < count; ++i) {
      threads_.emplace_back([this] { worker_loop(); });
    }
  } catch (...) {
    stop();  // a joinable std::thread must not be destroyed
    throw;
  }
}

WorkerPool::~WorkerPool() { stop(); }

// At most one helper per worker waits in the queue: more could not start
// any sooner. With room for that many, queuing never grows the queue and
// never fails.
WorkerPool::Offer WorkerPool::share_out(const std::shared_ptr<Batch>& batch,
                                        std::uint64_t helpers) noexcept {
  Offer offer{0, 0};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return offer;
    offer.helpers = std::min<std::uint64_t>(helpers, threads_.size() - tasks_.count);
    for (std::uint64_t i = 0; i < offer.helpers; ++i) push_task(tasks_, Task(Helper{batch}));
    offer.pushed = tasks_.pushed;
  }
  for (std::uint64_t i = 0; i < offer.helpers; ++i) cv_.notify_one();
  return offer;
}

// Once every chunk is claimed, helpers still queued would only take up room
// that the next call needs. They are the newest tasks unless another call
// has queued since; then they stay, and the workers pass over them.
void WorkerPool::take_back(Offer offer) noexcept {
  if (offer.helpers == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (tasks_.pushed == offer.pushed) {
    drop_newest(tasks_, std::min<std::uint64_t>(offer.helpers, tasks_.count));
  }
}

void WorkerPool::worker_loop() {
  for (;;) {
    Task task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait(lock, [this] { return stop_ || tasks_.count != 0; });
      // Leave only when stopping with nothing left to run.
      if (tasks_.count == 0) return;
      task = pop_task(tasks_);
    }
    task();
    // The task (and its share of a Batch) dies here, outside the lock.
  }
}

void WorkerPool::stop() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

}  // namespace quadlite
