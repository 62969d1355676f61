// Counts every dynamic allocation made through operator new in this test
// program (all threads, workers included) to show what a parallel_for call
// allocates. malloc calls made directly, e.g. by the thread library, are not
// seen; the pool makes none while running.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "pool/worker_pool.hpp"

namespace {

std::atomic<std::uint64_t> allocations{0};

void* counted_alloc(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}

void* counted_aligned_alloc(std::size_t size, std::align_val_t align) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  const std::size_t a = static_cast<std::size_t>(align);
  const std::size_t rounded = (size + a - 1) / a * a;  // aligned_alloc wants a multiple
  return std::aligned_alloc(a, rounded == 0 ? a : rounded);
}

void* or_throw(void* p) {
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

#if defined(__GNUC__) && !defined(__clang__)
// These operators pair operator new with free by design.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// Every replaceable form, so that no allocation escapes the count and
// allocation and release always pair up (sanitizer builds check that).
void* operator new(std::size_t size) { return or_throw(counted_alloc(size)); }
void* operator new[](std::size_t size) { return or_throw(counted_alloc(size)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return counted_alloc(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted_alloc(size);
}
void* operator new(std::size_t size, std::align_val_t align) {
  return or_throw(counted_aligned_alloc(size, align));
}
void* operator new[](std::size_t size, std::align_val_t align) {
  return or_throw(counted_aligned_alloc(size, align));
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return counted_aligned_alloc(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return counted_aligned_alloc(size, align);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace quadlite {
namespace {

TEST(Allocations, CounterSeesOperatorNew) {
  const std::uint64_t before = allocations.load();
  int* volatile p = new int(1);  // volatile: the pair must not be optimised away
  delete p;
  EXPECT_EQ(allocations.load() - before, 1u);
}

// One allocation per call that shares out chunks (the Batch with its
// reference count), whatever n, from the first call on: a helper lives
// inside its queued task, and the queue has room for one per worker. A
// call of one chunk runs on its caller and allocates nothing.
TEST(Allocations, OnePerParallelForCall) {
  for (std::uint64_t workers : {1, 2, 3, 8}) {
    WorkerPool pool(workers);
    std::vector<int> hits(5000, 0);
    for (std::uint64_t n : {1, 2, 3, 4, 8, 10, 1000, 5000}) {
      const std::uint64_t before = allocations.load();
      pool.parallel_for(n, [&hits](std::uint64_t k) { ++hits[k]; });
      const std::uint64_t made = allocations.load() - before;
      EXPECT_EQ(made, std::min(workers, n) > 1 ? 1u : 0u) << "workers=" << workers << " n=" << n;
    }
    const std::uint64_t before = allocations.load();
    pool.parallel_for(0, [&hits](std::uint64_t k) { ++hits[k]; });
    EXPECT_EQ(allocations.load() - before, 0u) << "n=0 must allocate nothing";
  }
}

}  // namespace
}  // namespace quadlite
