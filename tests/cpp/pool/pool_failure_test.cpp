#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <set>
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

// ---- sharing chunks out through run_chunks ----

// A stand-in for the pool's workers: one thread runs the helpers handed to
// it, in order, each after `delay`. It takes at most `take` helpers of each
// call and drops the rest, as a busy pool would.
class ManualQueue {
 public:
  ManualQueue(std::uint64_t take, std::chrono::microseconds delay)
      : take_(take), delay_(delay), runner_([this] { run(); }) {}
  ~ManualQueue() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    runner_.join();
  }

  // run_chunks' share_out; the helpers it takes are never taken back.
  auto sharer() {
    return [this](const std::shared_ptr<Batch>& batch, std::uint64_t helpers) noexcept {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::uint64_t i = 0; i < std::min(helpers, take_); ++i) {
          tasks_.push_back(Task(Helper{batch}));
        }
      }
      cv_.notify_all();
      return []() noexcept {};
    };
  }

 private:
  void run() {
    for (;;) {
      Task task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return done_ || !tasks_.empty(); });
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      std::this_thread::sleep_for(delay_);
      task();
    }
  }

  std::uint64_t take_;
  std::chrono::microseconds delay_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Task> tasks_;
  bool done_ = false;
  std::thread runner_;
};

// Whichever thread claims a chunk, each runs whole and in order: every
// thread's log is a sequence of increasing runs that start and end on the
// splitting rule's bounds, and together they call each index once.
TEST(RunChunks, ChunksFollowTheSplittingRuleWhoeverClaimsThem) {
  std::mt19937_64 rng(3);
  for (int trial = 0; trial < 300; ++trial) {
    const std::uint64_t n = 1 + rng() % (trial < 100 ? 20 : 5000);
    const std::uint64_t chunks = 1 + rng() % std::min<std::uint64_t>(n, 70);
    const std::uint64_t take = rng() % (chunks + 1);
    ManualQueue queue(take, std::chrono::microseconds(rng() % 3 == 0 ? 0 : rng() % 200));
    std::mutex mutex;
    std::map<std::thread::id, std::vector<std::uint64_t>> logs;
    auto f = [&](std::uint64_t k) {
      std::lock_guard<std::mutex> lock(mutex);
      logs[std::this_thread::get_id()].push_back(k);
    };
    run_chunks(n, chunks, f, queue.sharer());
    std::set<std::uint64_t> bounds;
    for (std::uint64_t c = 0; c <= chunks; ++c) bounds.insert(c * n / chunks);
    std::vector<int> hits(n, 0);
    for (const auto& entry : logs) {
      const std::vector<std::uint64_t>& log = entry.second;
      ASSERT_TRUE(bounds.count(log.front())) << "n=" << n << " chunks=" << chunks;
      for (std::size_t i = 0; i < log.size(); ++i) {
        ++hits[log[i]];
        if (i > 0 && log[i] != log[i - 1] + 1) {
          // a new chunk: the one before ended on a bound, this one starts on one
          ASSERT_TRUE(bounds.count(log[i - 1] + 1) && bounds.count(log[i]))
              << "n=" << n << " chunks=" << chunks << " at " << log[i];
        }
      }
      ASSERT_TRUE(bounds.count(log.back() + 1)) << "n=" << n << " chunks=" << chunks;
    }
    ASSERT_EQ(hits, std::vector<int>(n, 1)) << "n=" << n << " chunks=" << chunks;
  }
}

// Helpers that start after the call has returned (their workers were busy)
// find every chunk claimed: they touch neither f nor anything it refers to,
// and the last one frees the Batch.
TEST(RunChunks, LateHelpersTouchNothingOfTheCall) {
  for (std::uint64_t chunks : {2, 3, 8}) {
    std::vector<Task> late;
    std::weak_ptr<Batch> seen;
    int calls = 0;
    {
      std::vector<int> hits(50, 0);
      auto f = [&](std::uint64_t k) {
        ++hits[k];
        ++calls;
      };
      run_chunks(50, chunks, f,
                 [&](const std::shared_ptr<Batch>& batch, std::uint64_t helpers) noexcept {
                   seen = batch;
                   for (std::uint64_t i = 0; i < helpers; ++i) late.push_back(Task(Helper{batch}));
                   return []() noexcept {};
                 });
      EXPECT_EQ(hits, std::vector<int>(50, 1));
      EXPECT_EQ(late.size(), chunks - 1);
    }
    EXPECT_FALSE(seen.expired());
    for (Task& helper : late) helper();
    EXPECT_EQ(calls, 50);
    late.clear();
    EXPECT_TRUE(seen.expired());
  }
}

TEST(RunChunks, OneChunkRunsOnTheCallerWithoutSharingOut) {
  std::vector<std::thread::id> ran_on;
  auto f = [&](std::uint64_t) { ran_on.push_back(std::this_thread::get_id()); };
  bool offered = false;
  auto offer = [&](const std::shared_ptr<Batch>&, std::uint64_t) noexcept {
    offered = true;
    return []() noexcept {};
  };
  run_chunks(7, 1, f, offer);
  EXPECT_FALSE(offered);
  EXPECT_EQ(ran_on, std::vector<std::thread::id>(7, std::this_thread::get_id()));
  // An exception leaves directly.
  auto g = [](std::uint64_t k) {
    if (k == 2) throw std::runtime_error("two");
  };
  EXPECT_THROW(run_chunks(5, 1, g, offer), std::runtime_error);
  EXPECT_FALSE(offered);
}

// The caller's own chunk fails while a helper still runs another: the error
// comes out only once that chunk has finished.
TEST(RunChunks, FailureOnTheCallerWaitsForTheHelpersChunks) {
  for (int round = 0; round < 20; ++round) {
    ManualQueue queue(1, std::chrono::microseconds(0));
    std::atomic<bool> helper_started{false};
    std::atomic<bool> helper_finished{false};
    const std::thread::id caller = std::this_thread::get_id();
    auto f = [&](std::uint64_t) {
      if (std::this_thread::get_id() != caller) {
        helper_started = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        helper_finished = true;
        return;
      }
      // Leave the other chunk to the helper.
      while (!helper_started) std::this_thread::yield();
      throw std::runtime_error("caller");
    };
    EXPECT_THROW(run_chunks(2, 2, f, queue.sharer()), std::runtime_error);
    EXPECT_TRUE(helper_finished);
  }
}

}  // namespace
}  // namespace quadlite
