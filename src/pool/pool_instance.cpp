// The process-wide pool: building it once, stopping it at exit, and
// starting afresh in a forked child.
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "pool/worker_pool.hpp"

namespace quadlite {

namespace {

// Where a process keeps its pool. A forked child inherits the pool without
// its threads, and its locks may have been held by parent threads at the
// fork, so the child forgets the whole slot and builds a new one.
struct PoolSlot {
  std::mutex build;  // one builder at a time
  std::atomic<WorkerPool*> pool{nullptr};
  PoolSlot* inherited = nullptr;  // slot an ancestor process left behind
};

std::atomic<PoolSlot*> current_slot{nullptr};

// The slots forked children left behind stay reachable from here (through
// `inherited`), so leak checkers in a child do not report the parent's pool.
std::atomic<PoolSlot*> abandoned_slot{nullptr};

// Both hooks are registered once per process; a forked child inherits the
// registrations together with these flags. Guarded by the slot's mutex.
bool fork_hook_registered = false;
bool exit_hook_registered = false;

// Runs in a forked child, on its only thread. Nothing of the old slot is
// locked or destroyed: its pool's destructor would join threads that do not
// exist here.
void forget_pool_in_child() noexcept {
  if (PoolSlot* slot = current_slot.exchange(nullptr, std::memory_order_relaxed)) {
    abandoned_slot.store(slot, std::memory_order_relaxed);
  }
}

// Joins the workers but keeps the pool: a thread that is still inside a
// call (a daemon thread the interpreter left running) may hand it work
// between two passes, and then runs that work on its own.
void stop_pool_at_exit() noexcept {
  if (PoolSlot* slot = current_slot.load(std::memory_order_acquire)) {
    if (WorkerPool* pool = slot->pool.load(std::memory_order_acquire)) pool->stop();
  }
}

PoolSlot& this_process_slot() {
  PoolSlot* slot = current_slot.load(std::memory_order_acquire);
  if (slot != nullptr) return *slot;
  auto fresh = std::make_unique<PoolSlot>();
  fresh->inherited = abandoned_slot.load(std::memory_order_relaxed);
  if (current_slot.compare_exchange_strong(slot, fresh.get(), std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
    return *fresh.release();
  }
  return *slot;  // another thread installed one first
}

}  // namespace

std::uint64_t workers_for_hardware(unsigned hardware_threads) {
  return hardware_threads / 2 > 0 ? hardware_threads / 2 : 1;
}

WorkerPool& WorkerPool::instance() {
  PoolSlot& slot = this_process_slot();
  if (WorkerPool* pool = slot.pool.load(std::memory_order_acquire)) return *pool;

  std::lock_guard<std::mutex> lock(slot.build);
  if (WorkerPool* pool = slot.pool.load(std::memory_order_relaxed)) return *pool;
  if (!fork_hook_registered) {
    if (const int error = pthread_atfork(nullptr, nullptr, &forget_pool_in_child)) {
      throw std::system_error(error, std::generic_category());
    }
    fork_hook_registered = true;
  }
  auto pool =
      std::make_unique<WorkerPool>(workers_for_hardware(std::thread::hardware_concurrency()));
  if (!exit_hook_registered) {
    if (std::atexit(&stop_pool_at_exit) != 0) throw std::bad_alloc();
    exit_hook_registered = true;
  }
  slot.pool.store(pool.get(), std::memory_order_release);
  return *pool.release();
}

}  // namespace quadlite
