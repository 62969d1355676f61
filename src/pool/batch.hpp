// Batch and chunk tasks: how one parallel_for call is split, queued and
// waited for.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>

#include "pool/task.hpp"

namespace quadlite {

// Completion record of one parallel_for call, shared by the caller and its
// chunk tasks.
struct Batch {
  explicit Batch(std::uint64_t chunks) : remaining(chunks) {}

  std::mutex mutex;
  std::condition_variable cv;
  std::uint64_t remaining;     // chunks not yet finished; guarded by mutex
  std::exception_ptr failure;  // first exception a chunk caught; guarded by mutex
};

// Bound k of [0, n) split into `chunks` parts: floor(k * n / chunks), exact
// for every 64-bit n.
inline std::uint64_t chunk_bound(std::uint64_t k, std::uint64_t n, std::uint64_t chunks) {
  return static_cast<std::uint64_t>(static_cast<unsigned __int128>(k) * n / chunks);
}

// Marks one chunk finished, keeping the first failure. The wake-up comes
// after the unlock; the chunk's own share keeps the Batch alive until then.
inline void count_down(Batch& batch, std::exception_ptr failure) noexcept {
  {
    std::lock_guard<std::mutex> lock(batch.mutex);
    if (failure && !batch.failure) batch.failure = std::move(failure);
    --batch.remaining;
  }
  batch.cv.notify_one();
}

// Waits until every chunk of the batch has counted down; returns the first
// failure, if any.
inline std::exception_ptr wait_for_chunks(Batch& batch) {
  std::unique_lock<std::mutex> lock(batch.mutex);
  batch.cv.wait(lock, [&batch] { return batch.remaining == 0; });
  return std::move(batch.failure);
}

// Calls f(k) for k in [begin, end), in increasing order. An exception from f
// ends the chunk early and is handed to the caller through the Batch; the
// worker running the chunk never sees it.
template <class F>
struct ChunkTask {
  std::uint64_t begin;
  std::uint64_t end;
  std::shared_ptr<Batch> batch;
  F* f;

  void operator()() noexcept {
    std::exception_ptr failure;
    try {
      for (std::uint64_t k = begin; k < end; ++k) (*f)(k);
    } catch (...) {
      failure = std::current_exception();
    }
    // f is not touched after this: the caller may return once all chunks
    // have counted down.
    count_down(*batch, std::move(failure));
  }
};

// Splits [0, n) into `chunks` contiguous chunks (0 < chunks <= n), hands
// each to `enqueue` as a Task and waits for all of them. Rethrows the first
// exception thrown by f once every chunk has finished. If enqueue throws,
// the chunks already queued still refer to f, so they are waited for before
// the error leaves.
template <class F, class Enqueue>
void run_chunks(std::uint64_t n, std::uint64_t chunks, F& f, Enqueue&& enqueue) {
  // The Batch and its reference count share one allocation.
  const auto batch = std::make_shared<Batch>(chunks);
  std::uint64_t queued = 0;
  try {
    for (; queued < chunks; ++queued) {
      enqueue(Task(ChunkTask<F>{chunk_bound(queued, n, chunks),
                                chunk_bound(queued + 1, n, chunks), batch, &f}));
    }
  } catch (...) {
    {
      std::lock_guard<std::mutex> lock(batch->mutex);
      batch->remaining -= chunks - queued;  // these will never count down
    }
    wait_for_chunks(*batch);
    throw;
  }
  if (std::exception_ptr failure = wait_for_chunks(*batch)) {
    std::rethrow_exception(std::move(failure));
  }
}

}  // namespace quadlite
