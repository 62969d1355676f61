#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "pool/task.hpp"
#include "pool/task_ring.hpp"
#include "pool/worker_pool.hpp"
#include "pool_test_support.hpp"

namespace quadlite {
namespace {

// A hang anywhere in the suite ends it with SIGALRM instead of running
// into the test runner's much longer timeout.
class Watchdog : public ::testing::Environment {
 public:
  void SetUp() override { alarm(180); }
  void TearDown() override { alarm(0); }
};
::testing::Environment* const watchdog = ::testing::AddGlobalTestEnvironment(new Watchdog);

using testing_support::Gate;
using testing_support::Rendezvous;
using Range = std::pair<std::uint64_t, std::uint64_t>;

// Chunk k of n items over t chunks, in plain 64-bit arithmetic (test sizes
// are far from overflowing).
std::vector<Range> reference_chunks(std::uint64_t n, std::uint64_t t) {
  std::vector<Range> chunks;
  for (std::uint64_t k = 0; k < t; ++k) chunks.emplace_back(k * n / t, (k + 1) * n / t);
  return chunks;
}

TEST(WorkerCount, HalfTheHardwareThreadsAtLeastOne) {
  const struct { unsigned h; std::uint64_t workers; } table[] = {
      {0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 2}, {5, 2}, {8, 4}, {9, 4}, {16, 8}, {64, 32}};
  for (const auto& row : table) EXPECT_EQ(workers_for_hardware(row.h), row.workers) << row.h;
}

TEST(WorkerCount, PoolStartsTheWorkersItIsGiven) {
  for (std::uint64_t workers : {1, 2, 3, 8}) {
    WorkerPool pool(workers);
    EXPECT_EQ(pool.thread_count(), workers);
  }
  WorkerPool none_asked(0);
  EXPECT_EQ(none_asked.thread_count(), 1u);
  std::vector<int> hits(5);
  none_asked.parallel_for(hits.size(), [&](std::uint64_t k) { ++hits[k]; });
  EXPECT_EQ(hits, std::vector<int>(5, 1));
}

// ---- chunk bounds ----

TEST(ChunkBound, ExamplesFromTheSplittingRule) {
  const struct { std::uint64_t n, t; std::vector<Range> chunks; } table[] = {
      {5, 2, {{0, 2}, {2, 5}}},
      {10, 4, {{0, 2}, {2, 5}, {5, 7}, {7, 10}}},
      {2, 3, {{0, 0}, {0, 1}, {1, 2}}},
      {1, 1, {{0, 1}}},
      {7, 1, {{0, 7}}},
      {0, 3, {{0, 0}, {0, 0}, {0, 0}}},
  };
  for (const auto& row : table) {
    std::vector<Range> got;
    for (std::uint64_t k = 0; k < row.t; ++k) {
      got.emplace_back(chunk_bound(k, row.n, row.t), chunk_bound(k + 1, row.n, row.t));
    }
    EXPECT_EQ(got, row.chunks) << row.n << " over " << row.t;
  }
}

TEST(ChunkBound, ExactForAnyCountAgainstQuotientRemainderForm) {
  // floor(k*n/t) == k*(n/t) + floor(k*(n%t)/t), whose terms cannot overflow
  // for small t; this checks the full-width products.
  std::mt19937_64 rng(20240611);
  for (int trial = 0; trial < 20000; ++trial) {
    const std::uint64_t t = 1 + rng() % 64;
    std::uint64_t n = rng();
    if (trial % 4 == 1) n = ~std::uint64_t{0} - rng() % 100;
    if (trial % 4 == 2) n = rng() % 1000;
    const std::uint64_t k = rng() % (t + 1);
    const std::uint64_t expected = k * (n / t) + k * (n % t) / t;
    ASSERT_EQ(chunk_bound(k, n, t), expected) << k << " " << n << " " << t;
  }
  EXPECT_EQ(chunk_bound(3, ~std::uint64_t{0}, 3), ~std::uint64_t{0});
}

// ---- Task ----

TEST(Task, OwnsItsCallableAndMovesIt) {
  auto token = std::make_shared<int>(0);
  {
    Task a([token]() noexcept { ++*token; });
    EXPECT_EQ(token.use_count(), 2);
    Task b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_TRUE(b);
    EXPECT_EQ(token.use_count(), 2);  // moved, not copied
    b();
    EXPECT_EQ(*token, 1);

    auto other = std::make_shared<int>(0);
    Task c([other]() noexcept { ++*other; });
    c = std::move(b);  // the callable c held is destroyed
    EXPECT_EQ(other.use_count(), 1);
    c();
    EXPECT_EQ(*token, 2);
    c = Task();
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_FALSE(c);
  }
  EXPECT_EQ(token.use_count(), 1);
}

// ---- TaskRing against std::deque ----

TEST(TaskRing, FirstInFirstOutAcrossWrapGrowthAndDrops) {
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    auto token = std::make_shared<int>(0);  // counts the callables alive
    TaskRing ring;
    if (seed % 2 == 0) reserve_tasks(ring, rng() % 5);
    std::deque<int> expected;
    int next_id = 0;
    for (int step = 0; step < 2000; ++step) {
      // Drift between filling up and draining so the buffer both wraps and grows.
      const bool fill = (step / 300) % 2 == 0 ? rng() % 4 != 0 : rng() % 4 == 0;
      if (fill || expected.empty()) {
        const int id = next_id++;
        push_task(ring, Task([id, token]() noexcept { *token = id; }));
        expected.push_back(id);
      } else if (rng() % 8 == 0) {
        // A caller taking back helpers it queued last.
        const std::size_t dropped = rng() % (expected.size() + 1);
        drop_newest(ring, dropped);
        expected.resize(expected.size() - dropped);
      } else {
        Task task = pop_task(ring);
        ASSERT_TRUE(task);
        task();
        ASSERT_EQ(*token, expected.front()) << "seed " << seed << " step " << step;
        expected.pop_front();
      }
      ASSERT_EQ(ring.count, expected.size());
      ASSERT_EQ(ring.pushed, static_cast<std::uint64_t>(next_id));
      ASSERT_EQ(token.use_count(), static_cast<long>(expected.size()) + 1);
    }
  }
}

// ---- parallel_for ----

TEST(ParallelFor, ZeroItemsCallsNothing) {
  for (std::uint64_t workers : {1, 3}) {
    WorkerPool pool(workers);
    std::atomic<int> calls{0};
    pool.parallel_for(0, [&](std::uint64_t) { ++calls; });
    EXPECT_EQ(calls.load(), 0);
  }
}

// Each worker's first call of a chunk waits until min(workers, n) workers
// have started one, so no worker can take two chunks and each worker's log
// is exactly one chunk. Too few chunks make the rendezvous time out.
TEST(ParallelFor, ChunksFollowTheSplittingRuleOnDistinctWorkers) {
  std::mt19937_64 rng(7);
  for (std::uint64_t workers : {1, 2, 3, 4, 8}) {
    WorkerPool pool(workers);
    std::vector<std::uint64_t> sizes = {1, 2, 3, 4, 5, 7, 8, 9, 10, 13, 100, 1000};
    for (int i = 0; i < 6; ++i) sizes.push_back(1 + rng() % 5000);
    for (std::uint64_t n : sizes) {
      const std::uint64_t t = std::min(workers, n);
      Rendezvous all_chunks_started(t);
      std::mutex mutex;
      std::map<std::thread::id, std::vector<std::uint64_t>> logs;
      std::atomic<bool> met{true};
      pool.parallel_for(n, [&](std::uint64_t k) {
        bool first;
        {
          std::lock_guard<std::mutex> lock(mutex);
          auto& log = logs[std::this_thread::get_id()];
          first = log.empty();
          log.push_back(k);
        }
        if (first && !all_chunks_started.arrive_and_wait()) met = false;
      });
      ASSERT_TRUE(met) << "fewer than " << t << " chunks ran at once, n=" << n;
      std::vector<Range> chunks;
      for (const auto& entry : logs) {
        const std::vector<std::uint64_t>& log = entry.second;
        for (std::size_t i = 1; i < log.size(); ++i) {
          ASSERT_EQ(log[i], log[i - 1] + 1) << "not in increasing order, n=" << n;
        }
        chunks.emplace_back(log.front(), log.back() + 1);
      }
      std::sort(chunks.begin(), chunks.end());
      EXPECT_EQ(chunks, reference_chunks(n, t)) << "workers=" << workers << " n=" << n;
    }
  }
}

TEST(ParallelFor, EveryIndexExactlyOnceAndVisibleToTheCaller) {
  std::mt19937_64 rng(11);
  for (std::uint64_t workers : {1, 2, 3, 8}) {
    WorkerPool pool(workers);
    for (int trial = 0; trial < 40; ++trial) {
      const std::uint64_t n = trial < 10 ? trial + 1 : 1 + rng() % 3000;
      const std::uint64_t salt = rng();
      const std::vector<std::uint64_t> input = [&] {
        std::vector<std::uint64_t> v(n);
        for (std::uint64_t k = 0; k < n; ++k) v[k] = k ^ salt;
        return v;
      }();
      // Plain (non-atomic) writes: the caller must see them after the call.
      std::vector<std::uint64_t> out(n, 0);
      std::vector<int> hits(n, 0);
      pool.parallel_for(n, [&](std::uint64_t k) {
        out[k] = input[k] * 3 + 1;
        ++hits[k];
      });
      for (std::uint64_t k = 0; k < n; ++k) {
        ASSERT_EQ(hits[k], 1) << "k=" << k << " n=" << n;
        ASSERT_EQ(out[k], input[k] * 3 + 1);
      }
    }
  }
}

// One chunk (one worker, or one index) is the caller's share: nothing is
// handed over, whatever other callers do at the same time.
TEST(ParallelFor, OneChunkRunsInOrderOnTheCallingThread) {
  WorkerPool pool(1);
  const std::thread::id main_thread = std::this_thread::get_id();
  std::vector<std::uint64_t> order;
  bool on_caller = true;
  pool.parallel_for(200, [&](std::uint64_t k) {
    on_caller = on_caller && std::this_thread::get_id() == main_thread;
    order.push_back(k);
  });
  ASSERT_EQ(order.size(), 200u);
  for (std::uint64_t k = 0; k < 200; ++k) ASSERT_EQ(order[k], k);
  EXPECT_TRUE(on_caller);

  WorkerPool three(3);
  std::atomic<bool> ok{true};
  std::vector<std::thread> callers;
  for (int c = 0; c < 3; ++c) {
    callers.emplace_back([&] {
      const std::thread::id caller = std::this_thread::get_id();
      for (int i = 0; i < 30; ++i) {
        for (WorkerPool* p : {&pool, &three}) {
          const std::uint64_t n = p == &pool ? 5 : 1;
          p->parallel_for(n, [&](std::uint64_t) {
            if (std::this_thread::get_id() != caller) ok = false;
          });
        }
      }
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_TRUE(ok);
}

// While every worker is held by other calls, a call still finishes: its
// caller claims all of its chunks.
TEST(ParallelFor, CallerRunsEveryChunkWhileTheWorkersAreBusy) {
  WorkerPool pool(2);
  // Two calls of two chunks each: their callers and both workers, with the
  // test's thread as the fifth party.
  Rendezvous all_held(5);
  Gate release;
  std::atomic<bool> met{true};
  std::vector<std::thread> holders;
  for (int h = 0; h < 2; ++h) {
    holders.emplace_back([&] {
      pool.parallel_for(2, [&](std::uint64_t) {
        if (!all_held.arrive_and_wait()) met = false;
        release.wait();
      });
    });
  }
  ASSERT_TRUE(all_held.arrive_and_wait());
  const std::thread::id caller = std::this_thread::get_id();
  for (int call = 0; call < 20; ++call) {
    std::vector<int> hits(9, 0);
    bool on_caller = true;
    pool.parallel_for(9, [&](std::uint64_t k) {
      ++hits[k];
      on_caller = on_caller && std::this_thread::get_id() == caller;
    });
    EXPECT_EQ(hits, std::vector<int>(9, 1));
    EXPECT_TRUE(on_caller);
  }
  release.open();
  for (auto& t : holders) t.join();
  EXPECT_TRUE(met);
}

TEST(ParallelFor, OverlappingCallsEachWaitForTheirOwnChunks) {
  WorkerPool pool(3);
  std::atomic<bool> ok{true};
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&pool, &ok, c] {
      std::mt19937 rng(100 + c);
      for (int call = 0; call < 60; ++call) {
        const std::uint64_t n = 1 + rng() % 40;
        std::vector<int> hits(n, 0);
        pool.parallel_for(n, [&](std::uint64_t k) {
          if (k % 7 == 0) std::this_thread::yield();
          ++hits[k];
        });
        if (std::any_of(hits.begin(), hits.end(), [](int h) { return h != 1; })) ok = false;
      }
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_TRUE(ok);
}

// A call returns once its own chunks are done, while another call's chunk
// still holds a worker.
TEST(ParallelFor, CallDoesNotWaitForOtherCallsChunks) {
  WorkerPool pool(2);
  Gate release_blocker;
  Gate blocker_running;
  std::thread blocked([&] {
    const std::thread::id caller = std::this_thread::get_id();
    pool.parallel_for(2, [&](std::uint64_t) {
      if (std::this_thread::get_id() == caller) {
        blocker_running.wait();  // leaves the other chunk to a worker
        return;
      }
      blocker_running.open();
      release_blocker.wait();
    });
  });
  ASSERT_TRUE(blocker_running.wait());
  for (int call = 0; call < 20; ++call) {
    std::vector<int> hits(6, 0);
    pool.parallel_for(6, [&](std::uint64_t k) { ++hits[k]; });
    EXPECT_EQ(hits, std::vector<int>(6, 1));
  }
  release_blocker.open();
  blocked.join();
}

// ---- lifecycle ----

// stop() joins the workers, so it returns only once the chunks they run
// have finished; the pool then runs every call on its calling thread.
TEST(Stop, WaitsForTheWorkersChunksAndLeavesThePoolUsable) {
  WorkerPool pool(4);
  Rendezvous all_started(5);  // the call's four chunks and this thread
  Gate release;
  std::atomic<int> runs{0};
  std::thread holder([&] {
    pool.parallel_for(4, [&](std::uint64_t) {
      all_started.arrive_and_wait();
      release.wait();
      ++runs;
    });
  });
  ASSERT_TRUE(all_started.arrive_and_wait());
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    pool.stop();
    stopped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(stopped.load()) << "stop() returned while workers were inside chunks";
  release.open();
  holder.join();
  stopper.join();
  EXPECT_EQ(runs.load(), 4);

  EXPECT_EQ(pool.thread_count(), 4u);
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<int> hits(100, 0);
  bool on_caller = true;
  pool.parallel_for(hits.size(), [&](std::uint64_t k) {
    ++hits[k];
    on_caller = on_caller && std::this_thread::get_id() == caller;
  });
  EXPECT_EQ(hits, std::vector<int>(100, 1));
  EXPECT_TRUE(on_caller);
  EXPECT_THROW(pool.parallel_for(10, [](std::uint64_t k) {
    if (k == 6) throw std::runtime_error("after stop");
  }),
               std::runtime_error);
  pool.stop();  // a second stop does nothing
}

// As at exit with daemon threads drawing: calls are in flight, between two
// calls or about to start when the pool stops. Each finishes with every
// index run once, and those started after stop() run on their callers.
TEST(Stop, CallsRacingTheStopAllFinish) {
  std::mt19937 rng(5);
  for (int round = 0; round < 30; ++round) {
    WorkerPool pool(4);
    std::atomic<bool> stop_returned{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 3; ++c) {
      callers.emplace_back([&] {
        const std::thread::id self = std::this_thread::get_id();
        std::vector<int> hits(1000);
        for (int after_stop = 0; after_stop < 5;) {
          const bool stopped_before = stop_returned.load();
          std::fill(hits.begin(), hits.end(), 0);
          std::atomic<bool> elsewhere{false};
          pool.parallel_for(hits.size(), [&](std::uint64_t k) {
            ++hits[k];
            if (std::this_thread::get_id() != self) elsewhere = true;
          });
          if (std::any_of(hits.begin(), hits.end(), [](int h) { return h != 1; })) ++failures;
          if (stopped_before) {
            if (elsewhere) ++failures;
            ++after_stop;
          }
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    pool.stop();
    stop_returned = true;
    for (auto& t : callers) t.join();
    ASSERT_EQ(failures.load(), 0) << "round " << round;
  }
}

TEST(Stop, IdlePoolsStopAtOnce) {
  for (int round = 0; round < 50; ++round) {
    WorkerPool pool(1 + round % 8);
    if (round % 2 == 0) {
      std::atomic<int> calls{0};
      pool.parallel_for(round + 1, [&](std::uint64_t) { ++calls; });
      ASSERT_EQ(calls.load(), round + 1);
    }
  }
}

TEST(Instance, SameProcessWidePoolEveryTime) {
  WorkerPool& pool = WorkerPool::instance();
  EXPECT_EQ(&pool, &WorkerPool::instance());
  EXPECT_EQ(pool.thread_count(), workers_for_hardware(std::thread::hardware_concurrency()));
  std::vector<int> hits(50, 0);
  pool.parallel_for(hits.size(), [&](std::uint64_t k) { ++hits[k]; });
  EXPECT_EQ(hits, std::vector<int>(50, 1));
  EXPECT_EQ(pool.thread_count(), WorkerPool::instance().thread_count());
}

}  // namespace
}  // namespace quadlite
