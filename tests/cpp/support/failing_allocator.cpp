// Replaces the global allocation functions for the test binary. Unarmed,
// they are plain malloc/free. Kept alone in this file so no new-expression
// is ever compiled next to the inlined free.
#include "support/failing_allocator.hpp"

#include <cstdlib>
#include <new>

namespace {
thread_local long allocations_before_failure = -1;
}

namespace quadlite {
namespace testing_support {
void fail_allocations_after(long successes) { allocations_before_failure = successes; }
}  // namespace testing_support
}  // namespace quadlite

void* operator new(std::size_t size) {
  if (allocations_before_failure == 0) throw std::bad_alloc();
  if (allocations_before_failure > 0) --allocations_before_failure;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
// The array and nothrow forms too: the library's defaults would reach the
// form above, but a sanitizer's runtime replaces them as well.
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return ::operator new(size, tag);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
