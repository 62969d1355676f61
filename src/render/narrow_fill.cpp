// Boxes at most 8 columns wide, pixel by pixel: covers() for every centre,
// with its column terms formed once per column and its row terms once per
// row, several columns to a vector.

#include <algorithm>
#include <cstring>

#include "render/pixel_stores.hpp"
#include "render/quad_fill.hpp"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace quadlite {
namespace {

constexpr int kRowsPerMask = 8;

// A box at most 2 * kPairs columns wide (the box's own columns are masked
// in), two columns to a vector: a row costs one subtraction and two
// comparisons per edge and column. The coverage of up to 8 rows is gathered
// into one mask, a byte a row, before any store, so that neither empty rows
// nor short runs cost a branch each.
template <int kPairs>
__attribute__((noinline)) void fill_narrow_pairs(const PreparedQuad& q, const Edges& e, std::int32_t first,
                       std::int32_t last, const TargetImage& target) {
  static_assert(kPairs >= 1 && kPairs <= 4, "a row's columns fit a byte");
  F64x2 u[4][kPairs];
  for (int c = 0; c < kPairs; ++c) {
    const std::int64_t j = std::int64_t{q.x0} + 2 * c;
    const F64x2 X{pixel_centre(j), pixel_centre(j + 1)};
    for (int k = 0; k < 4; ++k) u[k][c] = column_term(splat(e.dy[k]), splat(e.x[k]), X);
  }
  const std::uint64_t in_box = (std::uint64_t{1} << (q.x1 - q.x0)) - 1u;
  std::uint8_t* const column0 = target.data + std::int64_t{q.x0} * target.col_stride;
  // 64-bit rows: a block may start within 8 rows of INT32_MAX.
  for (std::int64_t block = first; block < last; block += kRowsPerMask) {
    const int rows = static_cast<int>(std::min<std::int64_t>(kRowsPerMask, last - block));
    std::uint64_t mask = 0;
    for (int r = 0; r < rows; ++r) {
      const double Y = pixel_centre(block + r);
      F64x2 a[4];
      for (int k = 0; k < 4; ++k) a[k] = splat(row_term(e.dx[k], e.y[k], Y));
      std::uint64_t row_mask = 0;
      for (int c = 0; c < kPairs; ++c) {
        I64x2 positive{0, 0}, negative{0, 0};
        for (int k = 0; k < 4; ++k) {
          const F64x2 value = a[k] - u[k][c];
          positive |= clearly_positive(value);
          negative |= clearly_negative(value);
        }
        row_mask |= std::uint64_t{lane_bits(~(positive & negative))} << (2 * c);
      }
      mask |= (row_mask & in_box) << (8 * r);
    }
    store_mask(mask, block, column0, target, q.colour);
  }
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUADLITE_WIDE_VECTORS 1
using I64x4 = std::int64_t __attribute__((vector_size(32)));

// fill_narrow_pairs with four columns to a vector, for processors with
// AVX2. Everything wide stays inside this function, which alone is compiled
// for AVX2; so no helper that takes or returns a wide vector is called, and
// the terms are written out: u is column_term, and terms holds row_term for
// the rows of a block, formed four rows to a vector. In place of
// clearly_positive and clearly_negative on every edge value, the greatest
// and least of the values and +-kEdgeTolerance are kept: v > m ? v : m
// keeps m for a NaN v, so some value is clearly positive (negative) exactly
// when the greatest (least) is beyond the tolerance, and NaN stays neutral.
template <int kQuads>
__attribute__((target("avx2"))) void fill_narrow_quads(const PreparedQuad& q, const Edges& e,
                                                       std::int32_t first, std::int32_t last,
                                                       const TargetImage& target) {
  static_assert(kQuads == 1 || kQuads == 2, "a row's columns fit a byte");
  F64x4 u[4][kQuads];
  // pixel_centre of the box's columns: whole numbers and halves, exact.
  const double x0 = q.x0;
  for (int c = 0; c < kQuads; ++c) {
    const F64x4 X = F64x4{x0, x0, x0, x0} + (F64x4{0.5, 1.5, 2.5, 3.5} + 4.0 * c);
    for (int k = 0; k < 4; ++k) {
      const F64x4 dy{e.dy[k], e.dy[k], e.dy[k], e.dy[k]};
      const F64x4 x{e.x[k], e.x[k], e.x[k], e.x[k]};
      u[k][c] = dy * (X - x);
    }
  }
  const std::uint64_t in_box = (std::uint64_t{1} << (q.x1 - q.x0)) - 1u;
  const F64x4 above{kEdgeTolerance, kEdgeTolerance, kEdgeTolerance, kEdgeTolerance};
  const F64x4 below = -above;
  std::uint8_t* const column0 = target.data + std::int64_t{q.x0} * target.col_stride;
  for (std::int64_t block = first; block < last; block += kRowsPerMask) {
    const int rows = static_cast<int>(std::min<std::int64_t>(kRowsPerMask, last - block));
    // Row r of the block, edge k: terms[k][r].
    alignas(32) double terms[4][kRowsPerMask];
    const double b = static_cast<double>(block);
    const F64x4 Y0 = F64x4{b, b, b, b} + F64x4{0.5, 1.5, 2.5, 3.5};
    const F64x4 Y1 = Y0 + 4.0;
    for (int k = 0; k < 4; ++k) {
      const F64x4 dx{e.dx[k], e.dx[k], e.dx[k], e.dx[k]};
      const F64x4 y{e.y[k], e.y[k], e.y[k], e.y[k]};
      const F64x4 t0 = dx * (Y0 - y);
      std::memcpy(&terms[k][0], &t0, sizeof t0);
      if (rows > 4) {
        const F64x4 t1 = dx * (Y1 - y);
        std::memcpy(&terms[k][4], &t1, sizeof t1);
      }
    }
    std::uint64_t mask = 0;
    for (int r = 0; r < rows; ++r) {
      F64x4 a[4];
      for (int k = 0; k < 4; ++k) {
        const double v = terms[k][r];
        a[k] = F64x4{v, v, v, v};
      }
      std::uint64_t split = 0;
      for (int c = 0; c < kQuads; ++c) {
        F64x4 greatest = above, least = below;
        for (int k = 0; k < 4; ++k) {
          const F64x4 value = a[k] - u[k][c];
          greatest = value > greatest ? value : greatest;
          least = value < least ? value : least;
        }
        const I64x4 both = (greatest > above) & (least < below);
        split |= std::uint64_t(_mm256_movemask_pd(reinterpret_cast<__m256d>(both))) << (4 * c);
      }
      mask |= (~split & in_box) << (8 * r);
    }
    store_mask(mask, block, column0, target, q.colour);
  }
}

// Read when the library loads, so that no call pays for a guard. Read
// before that (by another library's initialiser), it is still false: the
// fills then keep to two lanes, which give the same bytes.
const bool has_avx2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();
#endif

}  // namespace

int widest_lanes() {
#if defined(QUADLITE_WIDE_VECTORS)
  return has_avx2 ? 4 : 2;
#else
  return 2;
#endif
}

// A dispatcher only: the fills are kept out of line, so that it saves no
// registers and calls the chosen one last.
void fill_narrow(const PreparedQuad& q, const Edges& e, std::int32_t first, std::int32_t last,
                 const TargetImage& target, int lanes) {
  const std::int64_t width = std::int64_t{q.x1} - q.x0;
#if defined(QUADLITE_WIDE_VECTORS)
  if (lanes >= 4 && has_avx2) {
    if (width <= 4) {
      fill_narrow_quads<1>(q, e, first, last, target);
    } else {
      fill_narrow_quads<2>(q, e, first, last, target);
    }
    return;
  }
#endif
  (void)lanes;
  switch ((width + 1) / 2) {
    case 1: fill_narrow_pairs<1>(q, e, first, last, target); break;
    case 2: fill_narrow_pairs<2>(q, e, first, last, target); break;
    case 3: fill_narrow_pairs<3>(q, e, first, last, target); break;
    default: fill_narrow_pairs<4>(q, e, first, last, target); break;
  }
}

}  // namespace quadlite
