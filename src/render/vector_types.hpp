// The lane types of the vectorised loops. Every lane computes exactly the
// scalar expression, operation by operation (the build forbids fused
// multiply-add), so results are bit-identical to scalar code.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

// Four-lane kernels exist where the compiler can target AVX2 for single
// functions; cpu_features.hpp says whether this processor may run them.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUADLITE_WIDE_VECTORS 1
// On a kernel's declaration and definition alike.
#define QUADLITE_AVX2 __attribute__((target("avx2")))
// Eight-lane kernels, with compares into mask registers and masked stores.
#define QUADLITE_AVX512 __attribute__((target("avx2,avx512f,avx512vl,avx512bw,avx512dq")))
#endif

namespace quadlite {

// The per-quad and per-pixel steps are small and run millions of times a
// call: they are always inlined into the loops that use them.
#define QUADLITE_INLINE inline __attribute__((always_inline))
#define QUADLITE_INLINE_LAMBDA __attribute__((always_inline))

using F64x2 = double __attribute__((vector_size(16)));
using I64x2 = std::int64_t __attribute__((vector_size(16)));
using I32x2 = std::int32_t __attribute__((vector_size(8)));
// Four lanes, for code built for AVX2 only: no function outside such code
// takes or returns them.
using F64x4 = double __attribute__((vector_size(32)));
using I64x4 = std::int64_t __attribute__((vector_size(32)));
// Eight lanes, likewise for code built for AVX-512 only.
using F64x8 = double __attribute__((vector_size(64)));
using I64x8 = std::int64_t __attribute__((vector_size(64)));

QUADLITE_INLINE F64x2 splat(double v) { return F64x2{v, v}; }
QUADLITE_INLINE bool all_lanes(I64x2 m) { return (m[0] & m[1]) != 0; }

// Bit k set when lane k of a comparison result is true.
QUADLITE_INLINE unsigned lane_bits(I64x2 m) {
#if defined(__SSE2__)
  return static_cast<unsigned>(_mm_movemask_pd(_mm_castsi128_pd(reinterpret_cast<__m128i>(m))));
#else
  return static_cast<unsigned>((m[0] & 1) | (m[1] & 2));
#endif
}

}  // namespace quadlite
