// The check pass's four-lane gathering kernel, built for AVX2 by its target
// attribute (the file is not); check_and_gather calls it only where
// cpu_has_avx2 says the processor runs it.
#include "render/quads/check_groups.hpp"

#if defined(QUADLITE_WIDE_VECTORS)
#include <immintrin.h>

#include <cmath>

namespace quadlite {
namespace {

// The map's six coefficients and the clip box's bounds, one to a vector.
struct Frame4 {
  __m256d m[6];
  __m256d x0, y0, x1, y1;
};

// Nodes p[0..3] mapped as map_node maps one, in the lane order that
// unpacking gives: nodes 0, 2, 1, 3.
QUADLITE_AVX2 QUADLITE_INLINE void map4(const Frame4& f, const double* p, __m256d& X, __m256d& Y) {
  const __m256d lo = _mm256_loadu_pd(p), hi = _mm256_loadu_pd(p + 4);
  const __m256d x = _mm256_unpacklo_pd(lo, hi), y = _mm256_unpackhi_pd(lo, hi);
  X = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(f.m[0], x), _mm256_mul_pd(f.m[1], y)), f.m[2]);
  Y = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(f.m[3], x), _mm256_mul_pd(f.m[4], y)), f.m[5]);
}

// Four quads of a group, lanes in the order of map4.
struct Half {
  __m256d counted, suspect;  // all ones where true
  __m256d least_y, greatest_y, work;
};

// Quads [first, first + 4) of a group, of which those below `valid` are
// the group's.
QUADLITE_AVX2 QUADLITE_INLINE Half half4(const Frame4& f, const double* a, const double* b,
                                         __m256d quad, __m256d valid_below) {
  __m256d xa0, ya0, xa1, ya1, xb0, yb0, xb1, yb1;
  map4(f, a, xa0, ya0);
  map4(f, a + 2, xa1, ya1);
  map4(f, b, xb0, yb0);
  map4(f, b + 2, xb1, yb1);
  Half h;
  const __m256d valid = _mm256_cmp_pd(quad, valid_below, _CMP_LT_OQ);
  // A sum of finite values is finite unless it overflows (left to the
  // plain kernel too); one that is not finite makes it NaN or infinite.
  const __m256d sum = _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(xa0, xb0), _mm256_add_pd(xa1, xb1)),
                                    _mm256_add_pd(_mm256_add_pd(ya0, yb0), _mm256_add_pd(ya1, yb1)));
  const __m256d finite = _mm256_cmp_pd(_mm256_sub_pd(sum, sum), _mm256_setzero_pd(), _CMP_EQ_OQ);
  h.suspect = _mm256_andnot_pd(finite, valid);
  // The pairs' bounds first, then the quads': as gather_group forms them.
  const __m256d lx = _mm256_min_pd(_mm256_min_pd(xa0, xb0), _mm256_min_pd(xa1, xb1));
  const __m256d ly = _mm256_min_pd(_mm256_min_pd(ya0, yb0), _mm256_min_pd(ya1, yb1));
  const __m256d gx = _mm256_max_pd(_mm256_max_pd(xa0, xb0), _mm256_max_pd(xa1, xb1));
  const __m256d gy = _mm256_max_pd(_mm256_max_pd(ya0, yb0), _mm256_max_pd(ya1, yb1));
  const __m256d in_x = _mm256_and_pd(_mm256_cmp_pd(gx, f.x0, _CMP_GT_OQ),
                                     _mm256_cmp_pd(lx, f.x1, _CMP_LT_OQ));
  const __m256d in_y = _mm256_and_pd(_mm256_cmp_pd(gy, f.y0, _CMP_GT_OQ),
                                     _mm256_cmp_pd(ly, f.y1, _CMP_LT_OQ));
  h.counted = _mm256_and_pd(_mm256_and_pd(valid, finite), _mm256_and_pd(in_x, in_y));
  const __m256d size_x = _mm256_sub_pd(gx, lx), size_y = _mm256_sub_pd(gy, ly);
  const __m256d narrow_row = _mm256_mul_pd(
      _mm256_set1_pd(kNarrowRowWork),
      _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(0.25), size_x), _mm256_set1_pd(0.75)));
  const __m256d per_row = _mm256_min_pd(narrow_row, _mm256_set1_pd(kSpanRowWork));
  h.work = _mm256_and_pd(
      h.counted, _mm256_add_pd(_mm256_set1_pd(kQuadWork),
                               _mm256_mul_pd(_mm256_add_pd(size_y, _mm256_set1_pd(1.0)), per_row)));
  h.least_y = _mm256_blendv_pd(_mm256_set1_pd(HUGE_VAL), ly, h.counted);
  h.greatest_y = _mm256_blendv_pd(_mm256_set1_pd(-HUGE_VAL), gy, h.counted);
  return h;
}

// Bit k for quad k of four from a mask in map4's lane order.
QUADLITE_AVX2 QUADLITE_INLINE std::uint32_t quad_bits(__m256d m) {
  const auto lanes = static_cast<std::uint32_t>(_mm256_movemask_pd(m));
  return (lanes & 9u) | ((lanes & 2u) << 1) | ((lanes & 4u) >> 1);
}

// gather_group for the quads below `valid` (of eight) whose left nodes are
// a[0..7] and b[0..7] and right nodes a[1..8] and b[1..8]; false, nothing
// written, when a coordinate of a valid quad may not be finite.
QUADLITE_AVX2 QUADLITE_INLINE bool group8(const Frame4& f, const double* a, const double* b,
                                          double valid, GroupFindings& out) {
  const __m256d below = _mm256_set1_pd(valid);
  const Half lo = half4(f, a, b, _mm256_setr_pd(0, 2, 1, 3), below);
  const Half hi = half4(f, a + 8, b + 8, _mm256_setr_pd(4, 6, 5, 7), below);
  if (_mm256_movemask_pd(_mm256_or_pd(lo.suspect, hi.suspect)) != 0) return false;
  // Lanes hold quads k and k + 4 alike: the sum of the two is a_k for k =
  // 0, 2, 1, 3; then (a0 + a2, a1 + a3), then the two.
  const __m256d a4 = _mm256_add_pd(lo.work, hi.work);
  const __m128d two = _mm_hadd_pd(_mm256_castpd256_pd128(a4), _mm256_extractf128_pd(a4, 1));
  const __m256d l4 = _mm256_min_pd(lo.least_y, hi.least_y);
  const __m256d g4 = _mm256_max_pd(lo.greatest_y, hi.greatest_y);
  const __m128d l2 = _mm_min_pd(_mm256_castpd256_pd128(l4), _mm256_extractf128_pd(l4, 1));
  const __m128d g2 = _mm_max_pd(_mm256_castpd256_pd128(g4), _mm256_extractf128_pd(g4, 1));
  out.work = _mm_cvtsd_f64(_mm_add_sd(two, _mm_unpackhi_pd(two, two)));
  out.least_y = _mm_cvtsd_f64(_mm_min_sd(l2, _mm_unpackhi_pd(l2, l2)));
  out.greatest_y = _mm_cvtsd_f64(_mm_max_sd(g2, _mm_unpackhi_pd(g2, g2)));
  out.counted = quad_bits(lo.counted) | quad_bits(hi.counted) << 4;
  out.not_finite = 0;
  return true;
}

}  // namespace

// The rule of gather_group (check_groups.cpp), four quads to a vector:
// every value that reaches the findings is formed by the same operations,
// and the work is summed in the findings' order.
QUADLITE_AVX2 void gather_groups_avx2(const GatherFrame& frame, const double* above,
                                      const double* below, std::uint32_t count,
                                      GroupFindings* out) noexcept {
  Frame4 f;
  for (int k = 0; k < 6; ++k) f.m[k] = _mm256_set1_pd(frame.matrix[k]);
  f.x0 = _mm256_set1_pd(frame.clip_x0);
  f.y0 = _mm256_set1_pd(frame.clip_y0);
  f.x1 = _mm256_set1_pd(frame.clip_x1);
  f.y1 = _mm256_set1_pd(frame.clip_y1);
  std::uint32_t q = 0;
  for (; q + kGroupQuads <= count; q += kGroupQuads, ++out) {
    if (!group8(f, above + 2 * q, below + 2 * q, kGroupQuads, *out))
      gather_group(frame, above + 2 * q, below + 2 * q, kGroupQuads, *out);
  }
  if (q < count) {
    const std::uint32_t n = count - q;
    double a[2 * (kGroupQuads + 1)], b[2 * (kGroupQuads + 1)];
    pad_group_nodes(above + 2 * q, n, a);
    pad_group_nodes(below + 2 * q, n, b);
    if (!group8(f, a, b, n, *out)) gather_group(frame, above + 2 * q, below + 2 * q, n, *out);
  }
}

}  // namespace quadlite

#endif
