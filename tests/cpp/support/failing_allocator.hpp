// Global operator new that can be told to fail on this thread.
#pragma once

namespace quadlite {
namespace testing_support {

// After `successes` more allocations on this thread, every allocation throws
// std::bad_alloc until disarmed with -1 (the default).
void fail_allocations_after(long successes);

}  // namespace testing_support
}  // namespace quadlite
