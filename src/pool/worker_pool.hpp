// Process-wide pool of worker threads and its parallel_for.
#pragma once

#include <cstdint>

namespace quadlite {

// Workers for a machine reporting `hardware_threads` (0 when unknown):
// half of them, at least one.
std::uint64_t workers_for_hardware(unsigned hardware_threads);

class WorkerPool {
 public:
  static WorkerPool& instance();

  explicit WorkerPool(std::uint64_t workers);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::uint64_t thread_count() const { return workers_; }

  // Calls f(k) for every k in [0, n) on the workers; returns when all have.
  template <class F>
  void parallel_for(std::uint64_t n, F f) {
    for (std::uint64_t k = 0; k < n; ++k) f(k);  // placeholder until the pool lands
  }

 private:
  std::uint64_t workers_;
};

}  // namespace quadlite
