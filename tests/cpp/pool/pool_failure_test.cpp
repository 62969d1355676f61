#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pool/batch.hpp"
#include "pool/worker_pool.hpp"
#include "pool_test_support.hpp"

namespace quadlite {
namespace {

using testing_support::Rendezvous;

// True when all `workers` workers of the pool can run a chunk at once.
bool all_workers_serve(WorkerPool& pool, std::uint64_t workers) {
  Rendezvous all(workers);
  std::atomic<bool> met{true};
  pool.parallel_for(workers, [&](std::uint64_t) {
    if (!all.arrive_and_wait()) met = false;
  });
  return met;
}

// ---- a callable that throws on a worker ----

TEST(ThrowingCallable, ErrorReachesCallerAfterAllChunksAndWorkersSurvive) {
  WorkerPool pool(3);
  // 30 over 3 chunks: [0,10) [10,20) [20,30); index 7 throws.
  std::vector<std::atomic<int>> hits(30);
  try {
    pool.parallel_for(30, [&](std::uint64_t k) {
      ++hits[k];
      if (k == 7) throw std::runtime_error("index 7");
    });
    FAIL() << "the exception was lost";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "index 7");
  }
  for (std::uint64_t k = 0; k < 30; ++k) {
    const int expected = (k <= 7 || k >= 10) ? 1 : 0;  // the rest of chunk 0 is skipped
    EXPECT_EQ(hits[k].load(), expected) << "k=" << k;
  }
  EXPECT_TRUE(all_workers_serve(pool, 3));
}

TEST(ThrowingCallable, EveryChunkThrowingStillReleasesTheCaller) {
  for (std::uint64_t workers : {1, 2, 4}) {
    WorkerPool pool(workers);
    for (int round = 0; round < 100; ++round) {
      std::atomic<int> calls{0};
      EXPECT_THROW(pool.parallel_for(50, [&](std::uint64_t k) {
        ++calls;
        throw static_cast<int>(k);
      }),
                   int);
      ASSERT_EQ(calls.load(), static_cast<int>(workers));  // one index per chunk
    }
    EXPECT_TRUE(all_workers_serve(pool, workers));
    std::vector<int> hits(20, 0);
    pool.parallel_for(20, [&](std::uint64_t k) { ++hits[k]; });
    EXPECT_EQ(hits, std::vector<int>(20, 1));
  }
}

TEST(ThrowingCallable, OutOfMemoryInsideTheCallableIsReported) {
  WorkerPool pool(2);
  EXPECT_THROW(pool.parallel_for(4, [](std::uint64_t k) {
    if (k == 3) throw std::bad_alloc();
  }),
               std::bad_alloc);
  EXPECT_TRUE(all_workers_serve(pool, 2));
}

// ---- queuing chunks through run_chunks ----

// A stand-in for the pool's queue: one thread runs the tasks handed to it,
// in order, each after `delay`, and records which chunk called f with which
// index. `fail_at` makes the hand-over of that chunk throw.
class ManualQueue {
 public:
  ManualQueue(std::uint64_t fail_at, std::chrono::milliseconds delay)
      : fail_at_(fail_at), delay_(delay), runner_([this] { run(); }) {}
  ~ManualQueue() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    runner_.join();
  }

  void enqueue(Task&& task) {
    if (handed_++ == fail_at_) throw std::bad_alloc();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    cv_.notify_all();
  }

  std::uint64_t handed() const { return handed_; }

  // Index of the chunk the runner is executing (f runs only on the runner).
  std::uint64_t running = 0;

 private:
  void run() {
    for (std::uint64_t chunk = 0;; ++chunk) {
      Task task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return done_ || !tasks_.empty(); });
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      std::this_thread::sleep_for(delay_);
      running = chunk;
      task();
    }
  }

  std::uint64_t fail_at_;
  std::chrono::milliseconds delay_;
  std::uint64_t handed_ = 0;  // touched only by the caller of run_chunks
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Task> tasks_;
  bool done_ = false;
  std::thread runner_;
};

TEST(RunChunks, HandsOverTheSplittingRuleChunksInOrder) {
  std::mt19937_64 rng(3);
  for (int trial = 0; trial < 300; ++trial) {
    const std::uint64_t n = 1 + rng() % (trial < 100 ? 20 : 5000);
    const std::uint64_t chunks = 1 + rng() % std::min<std::uint64_t>(n, 70);
    ManualQueue queue(~std::uint64_t{0}, std::chrono::milliseconds(0));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;  // (chunk, k)
    auto f = [&](std::uint64_t k) { calls.emplace_back(queue.running, k); };
    run_chunks(n, chunks, f, [&](Task&& t) { queue.enqueue(std::move(t)); });
    ASSERT_EQ(queue.handed(), chunks);
    // Chunk c must have called f with exactly floor(c*n/T) .. floor((c+1)*n/T)-1.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> expected;
    for (std::uint64_t c = 0; c < chunks; ++c) {
      for (std::uint64_t k = c * n / chunks; k < (c + 1) * n / chunks; ++k) {
        expected.emplace_back(c, k);
      }
    }
    ASSERT_EQ(calls, expected) << "n=" << n << " chunks=" << chunks;
  }
}

TEST(RunChunks, QueuingFailureWaitsForTheChunksAlreadyQueued) {
  for (std::uint64_t fail_at : {0, 1, 2, 5}) {
    const std::uint64_t n = 60;
    const std::uint64_t chunks = 6;
    ManualQueue queue(fail_at, std::chrono::milliseconds(30));
    std::vector<std::atomic<int>> hits(n);
    auto f = [&](std::uint64_t k) { ++hits[k]; };
    EXPECT_THROW(run_chunks(n, chunks, f, [&](Task&& t) { queue.enqueue(std::move(t)); }),
                 std::bad_alloc);
    // By the time the error arrives, chunks 0..fail_at-1 have run in full
    // (the runner is slow, so an early return would be caught here), and
    // no later chunk was queued.
    const std::uint64_t queued_items = fail_at * n / chunks;
    for (std::uint64_t k = 0; k < n; ++k) {
      EXPECT_EQ(hits[k].load(), k < queued_items ? 1 : 0) << "fail_at=" << fail_at << " k=" << k;
    }
    EXPECT_EQ(queue.handed(), fail_at + 1);
  }
}

TEST(RunChunks, QueuingFailureWinsOverAChunkFailure) {
  ManualQueue queue(2, std::chrono::milliseconds(5));
  auto f = [](std::uint64_t k) {
    if (k == 0) throw std::runtime_error("chunk");
  };
  EXPECT_THROW(run_chunks(4, 4, f, [&](Task&& t) { queue.enqueue(std::move(t)); }),
               std::bad_alloc);
}

}  // namespace
}  // namespace quadlite
