// The check pass's eight-lane gathering kernel, built for AVX-512 by its
// target attribute (the file is not); check_and_gather calls it only where
// cpu_has_avx512 says the processor runs it.
#include "render/quads/check_groups.hpp"

#if defined(QUADLITE_WIDE_VECTORS)
#include <immintrin.h>

#include <cmath>

// GCC 12 takes the undefined source operand inside its own AVX-512
// intrinsics (min, max, extract) for an uninitialised variable.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace quadlite {
namespace {

// The map's six coefficients and the clip box's bounds, one to a vector.
struct Frame8 {
  __m512d m[6];
  __m512d x0, y0, x1, y1;
};

// Nodes p[0..7] mapped as map_node maps one: (m0 x + m1 y) + m2, and
// (m3 x + m4 y) + m5, operation by operation.
QUADLITE_AVX512 QUADLITE_INLINE void map8(const Frame8& f, const double* p, __m512d& X,
                                          __m512d& Y) {
  const __m512i even = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
  const __m512i odd = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
  const __m512d lo = _mm512_loadu_pd(p), hi = _mm512_loadu_pd(p + 8);
  const __m512d x = _mm512_permutex2var_pd(lo, even, hi);
  const __m512d y = _mm512_permutex2var_pd(lo, odd, hi);
  X = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(f.m[0], x), _mm512_mul_pd(f.m[1], y)), f.m[2]);
  Y = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(f.m[3], x), _mm512_mul_pd(f.m[4], y)), f.m[5]);
}

QUADLITE_AVX512 QUADLITE_INLINE __m128d halves_min(__m512d v) {
  const __m256d four = _mm256_min_pd(_mm512_castpd512_pd256(v), _mm512_extractf64x4_pd(v, 1));
  return _mm_min_pd(_mm256_castpd256_pd128(four), _mm256_extractf128_pd(four, 1));
}
QUADLITE_AVX512 QUADLITE_INLINE __m128d halves_max(__m512d v) {
  const __m256d four = _mm256_max_pd(_mm512_castpd512_pd256(v), _mm512_extractf64x4_pd(v, 1));
  return _mm_max_pd(_mm256_castpd256_pd128(four), _mm256_extractf128_pd(four, 1));
}

// gather_group for the quads of `valid` (the low bits) whose left nodes are
// a[0..7] and b[0..7] and right nodes a[1..8] and b[1..8]; false, nothing
// written, when a coordinate of a valid quad may not be finite.
QUADLITE_AVX512 QUADLITE_INLINE bool group8(const Frame8& f, const double* a, const double* b,
                                            __mmask8 valid, GroupFindings& out) {
  __m512d xa0, ya0, xa1, ya1, xb0, yb0, xb1, yb1;
  map8(f, a, xa0, ya0);
  map8(f, a + 2, xa1, ya1);
  map8(f, b, xb0, yb0);
  map8(f, b + 2, xb1, yb1);
  // A sum of finite values is finite unless it overflows (left to the
  // plain kernel too); one that is not finite makes it NaN or infinite.
  const __m512d sum = _mm512_add_pd(_mm512_add_pd(_mm512_add_pd(xa0, xb0), _mm512_add_pd(xa1, xb1)),
                                    _mm512_add_pd(_mm512_add_pd(ya0, yb0), _mm512_add_pd(ya1, yb1)));
  const __mmask8 finite =
      _mm512_cmp_pd_mask(_mm512_sub_pd(sum, sum), _mm512_setzero_pd(), _CMP_EQ_OQ);
  if ((valid & ~finite) != 0) return false;
  // The pairs' bounds first, then the quads': as gather_group forms them.
  const __m512d lx = _mm512_min_pd(_mm512_min_pd(xa0, xb0), _mm512_min_pd(xa1, xb1));
  const __m512d ly = _mm512_min_pd(_mm512_min_pd(ya0, yb0), _mm512_min_pd(ya1, yb1));
  const __m512d gx = _mm512_max_pd(_mm512_max_pd(xa0, xb0), _mm512_max_pd(xa1, xb1));
  const __m512d gy = _mm512_max_pd(_mm512_max_pd(ya0, yb0), _mm512_max_pd(ya1, yb1));
  __mmask8 counted = _mm512_mask_cmp_pd_mask(valid, gx, f.x0, _CMP_GT_OQ);
  counted = _mm512_mask_cmp_pd_mask(counted, gy, f.y0, _CMP_GT_OQ);
  counted = _mm512_mask_cmp_pd_mask(counted, lx, f.x1, _CMP_LT_OQ);
  counted = _mm512_mask_cmp_pd_mask(counted, ly, f.y1, _CMP_LT_OQ);
  const __m512d size_x = _mm512_sub_pd(gx, lx), size_y = _mm512_sub_pd(gy, ly);
  const __m512d narrow_row = _mm512_mul_pd(
      _mm512_set1_pd(kNarrowRowWork),
      _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(0.25), size_x), _mm512_set1_pd(0.75)));
  const __m512d per_row = _mm512_min_pd(narrow_row, _mm512_set1_pd(kSpanRowWork));
  const __m512d work = _mm512_maskz_mov_pd(
      counted, _mm512_add_pd(_mm512_set1_pd(kQuadWork),
                             _mm512_mul_pd(_mm512_add_pd(size_y, _mm512_set1_pd(1.0)), per_row)));
  // Lane k with k + 4, then k with k + 2, then the two.
  const __m256d four = _mm256_add_pd(_mm512_castpd512_pd256(work), _mm512_extractf64x4_pd(work, 1));
  const __m128d two = _mm_add_pd(_mm256_castpd256_pd128(four), _mm256_extractf128_pd(four, 1));
  const __m128d least = halves_min(_mm512_mask_blend_pd(counted, _mm512_set1_pd(HUGE_VAL), ly));
  const __m128d greatest = halves_max(_mm512_mask_blend_pd(counted, _mm512_set1_pd(-HUGE_VAL), gy));
  out.work = _mm_cvtsd_f64(_mm_add_sd(two, _mm_unpackhi_pd(two, two)));
  out.least_y = _mm_cvtsd_f64(_mm_min_sd(least, _mm_unpackhi_pd(least, least)));
  out.greatest_y = _mm_cvtsd_f64(_mm_max_sd(greatest, _mm_unpackhi_pd(greatest, greatest)));
  out.counted = counted;
  out.not_finite = 0;
  return true;
}

}  // namespace

// The rule of gather_group (check_groups.cpp), eight quads to a vector:
// every value that reaches the findings is formed by the same operations,
// and the work is summed in the findings' order.
QUADLITE_AVX512 void gather_groups_avx512(const GatherFrame& frame, const double* above,
                                          const double* below, std::uint32_t count,
                                          GroupFindings* out) noexcept {
  Frame8 f;
  for (int k = 0; k < 6; ++k) f.m[k] = _mm512_set1_pd(frame.matrix[k]);
  f.x0 = _mm512_set1_pd(frame.clip_x0);
  f.y0 = _mm512_set1_pd(frame.clip_y0);
  f.x1 = _mm512_set1_pd(frame.clip_x1);
  f.y1 = _mm512_set1_pd(frame.clip_y1);
  std::uint32_t q = 0;
  for (; q + kGroupQuads <= count; q += kGroupQuads, ++out) {
    if (!group8(f, above + 2 * q, below + 2 * q, 0xFF, *out))
      gather_group(frame, above + 2 * q, below + 2 * q, kGroupQuads, *out);
  }
  if (q < count) {
    const std::uint32_t n = count - q;
    double a[2 * (kGroupQuads + 1)], b[2 * (kGroupQuads + 1)];
    pad_group_nodes(above + 2 * q, n, a);
    pad_group_nodes(below + 2 * q, n, b);
    if (!group8(f, a, b, static_cast<__mmask8>((1u << n) - 1), *out))
      gather_group(frame, above + 2 * q, below + 2 * q, n, *out);
  }
}

}  // namespace quadlite

#endif
