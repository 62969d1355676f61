#include "render/cpu_features.hpp"

#include "render/vector_types.hpp"

namespace quadlite {

#if defined(QUADLITE_WIDE_VECTORS)
const bool cpu_has_avx2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();
const bool cpu_has_avx512 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512dq");
}();
#else
const bool cpu_has_avx2 = false;
const bool cpu_has_avx512 = false;
#endif

}  // namespace quadlite
