#include "pool/worker_pool.hpp"

namespace quadlite {

WorkerPool::WorkerPool(std::uint64_t workers) {
  const std::uint64_t count = std::max<std::uint64_t>(workers, 1);
  threads_.reserve(count);
  // Room for every worker's chunk of a few overlapping calls up front.
  reserve_tasks(tasks_, 4 * count);
  try {
    for (std::uint64_t i = 0; i < count; ++i) {
      threads_.emplace_back([this] { worker_loop(); });
    }
  } catch (...) {
    stop_and_join();  // a joinable std::thread must not be destroyed
    throw;
  }
}

WorkerPool::~WorkerPool() { stop_and_join(); }

void WorkerPool::enqueue(Task&& task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    push_task(tasks_, std::move(task));
  }
  cv_.notify_one();
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

void WorkerPool::stop_and_join() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

}  // namespace quadlite
