// Process-wide pool of worker threads and its parallel_for.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <memory>
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
  // At exit the pool is stopped, never destroyed: a thread still inside a
  // call then (a daemon thread, say) finishes it on its own.
  static WorkerPool& instance();

  // Starts `workers` threads (at least one). If a thread cannot be started,
  // the ones already running are stopped and joined before the
  // std::system_error leaves.
  explicit WorkerPool(std::uint64_t workers);

  // Stops the pool (see stop()); no call may be in flight any more.
  ~WorkerPool();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Workers started; the count stays the same after stop().
  std::uint64_t thread_count() const { return threads_.size(); }

  // Lets the workers finish the helpers queued for them, then joins them in
  // creation order. The pool stays usable: calls in flight and later calls
  // finish on their calling threads. Not to be called concurrently with
  // itself or the destructor.
  void stop() noexcept;

  // Calls f(k) for every k in [0, n) and returns when all calls have
  // returned. [0, n) is split into min(thread_count(), n) contiguous chunks,
  // each run in increasing k on one thread. The calling thread is one of
  // those threads: it offers all chunks but one to the workers, claims
  // chunks until none is left (so no chunk waits for a worker that has not
  // started), then waits only for the chunks the workers claimed. A call
  // keeps at most thread_count() threads busy, its caller included. The
  // split depends only on n and thread_count(), never on which thread runs
  // which chunk; a single chunk (one worker, or n == 1) runs on the calling
  // thread alone. Writes made before the call are visible to f, and writes
  // made by f are visible after it returns. If f throws, its chunk stops
  // there, the other chunks still run, and the first exception is rethrown
  // here after all chunks have finished. Must not be called from inside f.
  template <class F>
  void parallel_for(std::uint64_t n, F f) {
    if (n == 0) return;
    run_chunks(n, std::min(thread_count(), n), f,
               [this](const std::shared_ptr<Batch>& batch, std::uint64_t helpers) noexcept {
                 const Offer offer = share_out(batch, helpers);
                 return [this, offer]() noexcept { take_back(offer); };
               });
  }

 private:
  // Helpers one call queued: the newest `helpers` tasks when the queue had
  // seen `pushed` pushes.
  struct Offer {
    std::uint64_t helpers;
    std::uint64_t pushed;
  };

  Offer share_out(const std::shared_ptr<Batch>& batch, std::uint64_t helpers) noexcept;
  void take_back(Offer offer) noexcept;
  void worker_loop();

  std::vector<std::thread> threads_;  // creation order; fixed once built
  TaskRing tasks_;                    // guarded by mutex_
  std::mutex mutex_;
  std::condition_variable cv_;        // idle workers wait here
  bool stop_ = false;                 // guarded by mutex_
};

}  // namespace quadlite
