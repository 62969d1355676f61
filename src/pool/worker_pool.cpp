#include "pool/worker_pool.hpp"

#include <thread>

namespace quadlite {

std::uint64_t workers_for_hardware(unsigned h) { return h / 2 > 0 ? h / 2 : 1; }

WorkerPool& WorkerPool::instance() {
  static WorkerPool pool(workers_for_hardware(std::thread::hardware_concurrency()));
  return pool;
}

WorkerPool::WorkerPool(std::uint64_t workers) : workers_(workers) {}
WorkerPool::~WorkerPool() = default;

}  // namespace quadlite
