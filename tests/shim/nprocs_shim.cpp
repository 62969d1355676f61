// Test-only preload library: makes a process report SHIM_NPROCS hardware
// threads, so that the pool (std::thread::hardware_concurrency, which asks
// get_nprocs) starts SHIM_NPROCS / 2 workers on any machine. Without the
// variable, or with a value that is not a positive count, the C library's
// own answer stands. The module itself reads no environment.
//
//   LD_PRELOAD=build/shim/libnprocs_shim.so SHIM_NPROCS=16 python ...
#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>

namespace {

using CountFn = int (*)();

// The count asked for, or 0 when there is none.
int forced_count() {
  const char* text = std::getenv("SHIM_NPROCS");
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < 1 || value > 1 << 20) return 0;
  return static_cast<int>(value);
}

int answer(const char* name) {
  if (const int forced = forced_count()) return forced;
  const auto next = reinterpret_cast<CountFn>(dlsym(RTLD_NEXT, name));
  return next != nullptr ? next() : 1;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int get_nprocs() { return answer("get_nprocs"); }

extern "C" __attribute__((visibility("default"))) int get_nprocs_conf() {
  return answer("get_nprocs_conf");
}
