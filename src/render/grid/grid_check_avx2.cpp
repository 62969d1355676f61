// The grid check's four-lane kernel, built for AVX2 by its target attribute
// (the file is not); grid_rows_match calls it only where cpu_has_avx2 says
// the processor runs it.
#include "render/grid/grid_check_avx2.hpp"

#if defined(QUADLITE_WIDE_VECTORS)
#include <cstdint>
#include <cstring>

namespace quadlite {

QUADLITE_AVX2 bool row_differs_wide(const double* row, const double* xs, double y, const double* m,
                                    std::uint64_t nodes, std::uint64_t& c) {
  const F64x4 m00{m[0], m[0], m[0], m[0]}, m01{m[1], m[1], m[1], m[1]}, m02{m[2], m[2], m[2], m[2]};
  const F64x4 m10{m[3], m[3], m[3], m[3]}, m11{m[4], m[4], m[4], m[4]}, m12{m[5], m[5], m[5], m[5]};
  const F64x4 level{y, y, y, y};
  I64x4 off{0, 0, 0, 0};
  for (; c + 4 <= nodes; c += 4) {
    // Rows of a large mesh come from memory: ask for them well ahead (a
    // hint, harmless past the end of the nodes).
    const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(row + 2 * c) + 4096;
    __builtin_prefetch(reinterpret_cast<const void*>(ahead));
    F64x4 a, b, want_x;
    std::memcpy(&a, row + 2 * c, sizeof a);
    std::memcpy(&b, row + 2 * c + 4, sizeof b);
    std::memcpy(&want_x, xs + c, sizeof want_x);
    const F64x4 x = __builtin_shufflevector(a, b, 0, 2, 4, 6);
    const F64x4 v = __builtin_shufflevector(a, b, 1, 3, 5, 7);
    off |= (I64x4)((m00 * x + m01 * v) + m02) ^ (I64x4)want_x;
    off |= (I64x4)((m10 * x + m11 * v) + m12) ^ (I64x4)level;
  }
  return (off[0] | off[1] | off[2] | off[3]) != 0;
}

}  // namespace quadlite

#endif
