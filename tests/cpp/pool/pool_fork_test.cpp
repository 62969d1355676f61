// The process-wide pool across fork(), its first construction, and thread
// start failures. Each scenario that needs a fresh process runs in a forked
// child, which reports through its exit status.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "pool/worker_pool.hpp"
#include "pool_test_support.hpp"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUADLITE_SANITIZED 1
#else
#define QUADLITE_SANITIZED 0
#endif

// The thread sanitizer cannot follow threads started after a fork of a
// multi-threaded process (it takes a reused thread stack for a thread that
// is still alive), so the tests that do so run in the other builds only.
// The address sanitizer's runtime can leave such a child hung (about one
// run in six with eight workers alive at the fork, never in the plain
// build), so under it they run only while this process has no other thread.
#if defined(__SANITIZE_THREAD__)
#define SKIP_IF_THREADS_AFTER_FORK_UNSUPPORTED() \
  GTEST_SKIP() << "threads started after a multi-threaded fork"
#elif defined(__SANITIZE_ADDRESS__)
#define SKIP_IF_THREADS_AFTER_FORK_UNSUPPORTED()                    \
  if (threads_in_process() > 1)                                     \
  GTEST_SKIP() << "threads started after a multi-threaded fork"
#else
#define SKIP_IF_THREADS_AFTER_FORK_UNSUPPORTED() static_cast<void>(0)
#endif

namespace quadlite {
namespace {

// Children end with std::exit, which runs the exit handlers (the pool's
// shut-down among them) in the child. Under the address sanitizer they end
// with _exit instead: a call the parent had in flight at the fork leaves
// allocations that nothing in the child refers to, and the child's leak
// check would report them.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool child_runs_exit_handlers = false;
#else
constexpr bool child_runs_exit_handlers = true;
#endif

// Runs `body` in a forked child and returns the child's wait status. A hang
// ends the child by SIGALRM.
int run_in_child(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    alarm(30);
    int code = 90;
    try {
      code = body();
    } catch (...) {
      code = 91;
    }
    if (child_runs_exit_handlers) std::exit(code);
    _exit(code);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

std::string describe(int status) {
  if (status == -1) return "fork or wait failed";
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

bool exited_cleanly(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// 0 when parallel_for on `pool` calls every index of [0, n) once.
int check_pool(WorkerPool& pool, std::uint64_t n, int failure_code) {
  std::vector<int> hits(n, 0);
  pool.parallel_for(n, [&](std::uint64_t k) { ++hits[k]; });
  for (int h : hits) {
    if (h != 1) return failure_code;
  }
  return 0;
}

std::size_t threads_in_process() {
  std::size_t count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
  }
  return count;
}

// Joined threads can linger in /proc for a moment; wait until the count
// settles to `expected` or time runs out.
bool thread_count_settles_to(std::size_t expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (threads_in_process() != expected) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// ---- exit while other threads still call into the pool ----

constexpr int exit_callers = 3;

// Set by a child that exits while its threads keep calling into the pool.
struct ExitWatch {
  std::atomic<std::uint64_t> calls[exit_callers];
  std::atomic<int> failures;
};
ExitWatch exit_watch{};
std::atomic<bool> exit_watched{false};

// Registered before any test builds the pool, so it runs after the pool's
// exit hook has stopped it: every thread must go on finishing calls, now
// on its own, with the workers gone. Ends the child with its verdict.
void check_calls_after_the_pool_stopped() {
  if (!exit_watched.load()) return;
  std::uint64_t seen[exit_callers];
  for (int t = 0; t < exit_callers; ++t) seen[t] = exit_watch.calls[t].load();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (int t = 0; t < exit_callers; ++t) {
    // Two more: at least one call made entirely after the stop.
    while (exit_watch.calls[t].load() < seen[t] + 2) {
      if (std::chrono::steady_clock::now() > deadline) _exit(5);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  if (exit_watch.failures.load() != 0) _exit(4);
  if (!thread_count_settles_to(1 + exit_callers)) _exit(6);  // the workers were joined
  _exit(0);
}
const int exit_check_registered = std::atexit(&check_calls_after_the_pool_stopped);

// Exit runs the pool's hook while threads are inside calls, between calls
// and about to call, as daemon threads are when the interpreter exits.
TEST(Exit, ThreadsStillCallingThePoolFinishOnTheirOwn) {
  SKIP_IF_THREADS_AFTER_FORK_UNSUPPORTED();
  ASSERT_EQ(exit_check_registered, 0);
  for (int round = 0; round < 20; ++round) {
    const int status = run_in_child([] {
      WorkerPool& pool = WorkerPool::instance();
      for (int t = 0; t < exit_callers; ++t) {
        std::thread([t, &pool] {
          std::vector<int> hits(4000);
          for (;;) {
            std::fill(hits.begin(), hits.end(), 0);
            pool.parallel_for(hits.size(), [&hits](std::uint64_t k) { ++hits[k]; });
            for (int h : hits) {
              if (h != 1) ++exit_watch.failures;
            }
            ++exit_watch.calls[t];
          }
        }).detach();
      }
      for (int t = 0; t < exit_callers; ++t) {
        while (exit_watch.calls[t].load() == 0) std::this_thread::yield();
      }
      exit_watched = true;
      // The check above ends the child before the leak checker's own exit
      // handler could report the threads' memory.
      std::exit(3);
      return 3;
    });
    ASSERT_TRUE(exited_cleanly(status)) << "round " << round << ": " << describe(status);
  }
}

TEST(Fork, ChildGetsAWorkingPoolOfItsOwn) {
  SKIP_IF_THREADS_AFTER_FORK_UNSUPPORTED();
  WorkerPool& parent_pool = WorkerPool::instance();
  ASSERT_EQ(check_pool(parent_pool, 100, 1), 0);

  const int status = run_in_child([] {
    WorkerPool& pool = WorkerPool::instance();
    if (pool.thread_count() != workers_for_hardware(std::thread::hardware_concurrency())) return 2;
    if (&pool != &WorkerPool::instance()) return 3;
    if (int failed = check_pool(pool, 1000, 4)) return failed;
    // A grandchild in turn gets its own.
    const int grandchild = run_in_child([] { return check_pool(WorkerPool::instance(), 500, 5); });
    if (!exited_cleanly(grandchild)) return 6;
    return check_pool(pool, 10, 7);
  });
  EXPECT_TRUE(exited_cleanly(status)) << describe(status);

  EXPECT_EQ(&parent_pool, &WorkerPool::instance());
  EXPECT_EQ(check_pool(parent_pool, 100, 1), 0);
}

TEST(Fork, ChildThatNeverUsesThePoolExitsCleanly) {
  ASSERT_EQ(check_pool(WorkerPool::instance(), 10, 1), 0);
  const int status = run_in_child([] { return 0; });
  EXPECT_TRUE(exited_cleanly(status)) << describe(status);
}

// Forks while another thread keeps the pool busy, so the pool's locks may
// be held at the moment of the fork. The child must not touch them.
TEST(Fork, WhileOtherThreadsUseThePool) {
  SKIP_IF_THREADS_AFTER_FORK_UNSUPPORTED();
  WorkerPool& pool = WorkerPool::instance();
  std::atomic<bool> stop{false};
  std::atomic<int> busy_failures{0};
  std::thread busy([&] {
    while (!stop) {
      if (check_pool(pool, 64, 1) != 0) ++busy_failures;
    }
  });
  for (int round = 0; round < 8; ++round) {
    const int status = run_in_child([] { return check_pool(WorkerPool::instance(), 200, 2); });
    EXPECT_TRUE(exited_cleanly(status)) << "round " << round << ": " << describe(status);
  }
  stop = true;
  busy.join();
  EXPECT_EQ(busy_failures.load(), 0);
}

// In a fresh child the pool is not built yet: threads arriving together
// must all get the one pool, and only one set of workers is started.
TEST(Instance, FirstCallsFromManyThreadsBuildOnePool) {
  SKIP_IF_THREADS_AFTER_FORK_UNSUPPORTED();
  const int status = run_in_child([] {
    const std::size_t before = threads_in_process();
    constexpr int callers = 8;
    std::atomic<bool> go{false};
    std::vector<WorkerPool*> seen(callers, nullptr);
    std::vector<std::thread> threads;
    for (int c = 0; c < callers; ++c) {
      threads.emplace_back([&, c] {
        while (!go) std::this_thread::yield();
        seen[c] = &WorkerPool::instance();
      });
    }
    go = true;
    for (auto& t : threads) t.join();
    for (WorkerPool* p : seen) {
      if (p != seen[0]) return 2;
    }
    if (!thread_count_settles_to(before + seen[0]->thread_count())) return 3;
    return check_pool(*seen[0], 100, 4);
  });
  EXPECT_TRUE(exited_cleanly(status)) << describe(status);
}

// Limits the child's address space to what it uses now plus `headroom`, so
// that starting a thread (which maps a stack of several MiB) fails.
bool limit_address_space(std::size_t headroom, rlimit& previous) {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  if (!(statm >> pages) || getrlimit(RLIMIT_AS, &previous) != 0) return false;
  rlimit limited = previous;
  limited.rlim_cur = pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) + headroom;
  return setrlimit(RLIMIT_AS, &limited) == 0;
}

bool is_resource_unavailable(const std::system_error& e) {
  return e.code() == std::errc::resource_unavailable_try_again;
}

TEST(Instance, FailedBuildLeavesThePoolUnbuiltForTheNextCall) {
  if (QUADLITE_SANITIZED) GTEST_SKIP() << "sanitizer runtimes need their address space";
  const int status = run_in_child([] {
    rlimit previous{};
    if (!limit_address_space(std::size_t{1} << 20, previous)) return 2;
    // The child keeps the stacks of the parent's threads for reuse; take
    // them all up so that the pool's first worker needs a new one.
    testing_support::Gate release;
    std::vector<std::thread> fillers;
    for (int i = 0; i < 1000; ++i) {
      try {
        fillers.emplace_back([&release] { release.wait(); });
      } catch (const std::system_error&) {
        break;
      }
    }
    int outcome = 0;
    try {
      WorkerPool::instance();
      outcome = 3;  // built despite the limit: the scenario did not happen
    } catch (const std::system_error& e) {
      if (!is_resource_unavailable(e)) outcome = 4;
    }
    release.open();
    for (auto& t : fillers) t.join();
    if (outcome != 0) return outcome;
    if (setrlimit(RLIMIT_AS, &previous) != 0) return 5;
    WorkerPool& pool = WorkerPool::instance();
    if (pool.thread_count() != workers_for_hardware(std::thread::hardware_concurrency())) return 6;
    return check_pool(pool, 100, 7);
  });
  EXPECT_TRUE(exited_cleanly(status)) << describe(status);
}

TEST(Construction, ThreadStartFailureStopsTheWorkersAlreadyStarted) {
  if (QUADLITE_SANITIZED) GTEST_SKIP() << "sanitizer runtimes need their address space";
  const int status = run_in_child([] {
    const std::size_t before = threads_in_process();
    rlimit previous{};
    // Room for a few worker stacks, not for 64.
    if (!limit_address_space(std::size_t{40} << 20, previous)) return 2;
    try {
      WorkerPool pool(64);
      return 3;
    } catch (const std::system_error& e) {
      if (!is_resource_unavailable(e)) return 4;
    }
    // Reaching here at all means no joinable thread was left behind
    // (destroying one would have aborted); the started ones are gone too.
    if (!thread_count_settles_to(before)) return 5;
    if (setrlimit(RLIMIT_AS, &previous) != 0) return 6;
    WorkerPool pool(3);
    return check_pool(pool, 30, 7);
  });
  EXPECT_TRUE(exited_cleanly(status)) << describe(status);
}

}  // namespace
}  // namespace quadlite
