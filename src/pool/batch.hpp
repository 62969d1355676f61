// Batch and helpers: how one parallel_for call is split into chunks, shared
// between the calling thread and the workers, and waited for.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>

namespace quadlite {

// Bound k of [0, n) split into `chunks` parts: floor(k * n / chunks), exact
// for every 64-bit n.
inline std::uint64_t chunk_bound(std::uint64_t k, std::uint64_t n, std::uint64_t chunks) {
  return static_cast<std::uint64_t>(static_cast<unsigned __int128>(k) * n / chunks);
}

// One parallel_for call: its chunks, claimed one at a time by whichever
// thread asks first, and their completion. Shared by the caller and its
// helpers; a helper may outlive the call, so `f` is only touched through a
// claimed chunk, and every chunk is finished before the call returns.
struct Batch {
  using RunRange = void (*)(void* f, std::uint64_t begin, std::uint64_t end);

  Batch(std::uint64_t n, std::uint64_t chunks, RunRange run_range, void* f)
      : n(n), chunks(chunks), run_range(run_range), f(f), remaining(chunks) {}

  const std::uint64_t n;
  const std::uint64_t chunks;
  const RunRange run_range;  // calls f(k) for k in [begin, end), in increasing order
  void* const f;
  std::atomic<std::uint64_t> next_chunk{0};  // the next to claim; at `chunks` or past, none is left

  std::mutex mutex;
  std::condition_variable cv;  // the caller waits here for the last chunk
  std::uint64_t remaining;     // chunks not yet finished; guarded by mutex
  std::exception_ptr failure;  // first exception a chunk caught; guarded by mutex
};

template <class F>
void run_range_of(void* f, std::uint64_t begin, std::uint64_t end) {
  for (std::uint64_t k = begin; k < end; ++k) (*static_cast<F*>(f))(k);
}

// Marks one chunk finished, keeping the first failure; the last one wakes
// the caller. The wake-up comes after the unlock: whoever runs the chunk
// keeps the Batch alive until then.
inline void count_down(Batch& batch, std::exception_ptr failure) noexcept {
  bool last;
  {
    std::lock_guard<std::mutex> lock(batch.mutex);
    if (failure && !batch.failure) batch.failure = std::move(failure);
    last = --batch.remaining == 0;
  }
  if (last) batch.cv.notify_one();
}

// Runs chunks of the batch until none is left to claim. An exception from f
// ends its chunk early and is kept in the Batch for the caller.
inline void run_claimed_chunks(Batch& batch) noexcept {
  for (;;) {
    const std::uint64_t chunk = batch.next_chunk.fetch_add(1, std::memory_order_relaxed);
    if (chunk >= batch.chunks) return;
    std::exception_ptr failure;
    try {
      batch.run_range(batch.f, chunk_bound(chunk, batch.n, batch.chunks),
                      chunk_bound(chunk + 1, batch.n, batch.chunks));
    } catch (...) {
      failure = std::current_exception();
    }
    count_down(batch, std::move(failure));
  }
}

// Waits until every chunk of the batch has counted down; returns the first
// failure, if any.
inline std::exception_ptr wait_for_chunks(Batch& batch) {
  std::unique_lock<std::mutex> lock(batch.mutex);
  batch.cv.wait(lock, [&batch] { return batch.remaining == 0; });
  return std::move(batch.failure);
}

// A worker's part in a call: claims chunks like the caller does. One that
// runs after the call has returned finds nothing left and only lets go of
// the Batch.
struct Helper {
  std::shared_ptr<Batch> batch;
  void operator()() noexcept { run_claimed_chunks(*batch); }
};

// Splits [0, n) into `chunks` contiguous chunks (0 < chunks <= n) and runs
// each once. `share_out(batch, chunks - 1)` offers helpers to other threads
// (it may place fewer, or none) and returns a callable that takes back those
// not yet started; neither may throw. The calling thread claims chunks
// itself, so no chunk waits for a helper that has not started, takes back
// the helpers once every chunk is claimed, and then waits only for the
// chunks others claimed. Rethrows the first exception thrown by f once
// every chunk has finished.
template <class F, class ShareOut>
void run_chunks(std::uint64_t n, std::uint64_t chunks, F& f, ShareOut&& share_out) {
  if (chunks == 1) {
    for (std::uint64_t k = 0; k < n; ++k) f(k);  // the caller's share is everything
    return;
  }
  // The Batch and its reference count share one allocation.
  auto batch = std::make_shared<Batch>(n, chunks, &run_range_of<F>, &f);
  static_assert(noexcept(share_out(batch, chunks - 1)), "sharing out must not fail");
  auto take_back = share_out(batch, chunks - 1);
  run_claimed_chunks(*batch);
  static_assert(noexcept(take_back()), "taking helpers back must not fail");
  take_back();
  if (std::exception_ptr failure = wait_for_chunks(*batch)) {
    std::rethrow_exception(std::move(failure));
  }
}

}  // namespace quadlite
