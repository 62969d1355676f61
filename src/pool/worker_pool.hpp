// Process-wide pool of worker threads and its parallel_for.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "pool/batch.hpp"
#include "pool/task.hpp"
#include "pool/task_ring.hpp"

namespace quadlite {

// Workers for a machine reporting `hardware_threads` (0 when unknown):
// half of them, at least one.
std::uint64_t workers_for_hardware(unsigned hardware_threads);

class WorkerPool {
 public:
  // The pool of this process, built on first use. Thread-safe; if building
  // fails the error propagates and the next call tries again. A child
  // created by fork() gets a pool of its own on its first call; the one it
  // inherited (whose threads do not exist in the child) is left untouched.
  static WorkerPool& instance();

  // Starts `workers` threads (at least one). If a thread cannot be started,
  // the ones already running are stopped and joined before the
  // std::system_error leaves.
  explicit WorkerPool(std::uint64_t workers);

  // Runs every queued task, then joins the workers in creation order.
  ~WorkerPool();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::uint64_t thread_count() const { return threads_.size(); }

  // Calls f(k) for every k in [0, n) on the workers and returns when all
  // calls have returned; the calling thread only waits. [0, n) is split
  // into min(thread_count(), n) contiguous chunks, each run in increasing
  // k. Writes made before the call are visible to f, and writes made by f
  // are visible after it returns. If f throws, its chunk stops there, the
  // other chunks still run, and the first exception is rethrown here after
  // all chunks have finished. Must not be called from inside f.
  template <class F>
  void parallel_for(std::uint64_t n, F f) {
    if (n == 0) return;
    run_chunks(n, std::min(thread_count(), n), f,
               [this](Task&& task) { enqueue(std::move(task)); });
  }

 private:
  void enqueue(Task&& task);
  void worker_loop();
  void stop_and_join() noexcept;

  std::vector<std::thread> threads_;  // creation order; fixed once built
  TaskRing tasks_;                    // guarded by mutex_
  std::mutex mutex_;
  std::condition_variable cv_;        // idle workers wait here
  bool stop_ = false;                 // guarded by mutex_
};

}  // namespace quadlite
