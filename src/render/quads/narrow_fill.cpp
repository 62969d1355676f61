// Boxes a few columns wide, pixel by pixel: covers() for every centre, with
// its column terms formed once per column and its row terms once per row,
// several columns to a vector. Coverage is a bit mask: a block of rows' mask
// stored pixel by pixel in boxes up to 8 columns, a row's mask stored as
// runs in wider ones, or through AVX-512's masked stores where the processor
// has them.

#include <algorithm>
#include <cassert>

#include "render/cpu_features.hpp"
#include "render/pixel_stores.hpp"
#include "render/quads/narrow_fill_avx2.hpp"
#include "render/quads/narrow_fill_avx512.hpp"
#include "render/quads/quad_fill.hpp"

namespace quadlite {
namespace {

// A box at most 2 * kPairs columns wide (the box's own columns are masked
// in), two columns to a vector: a row costs one subtraction and two
// comparisons per edge and column. The coverage of up to 8 rows is gathered
// into one mask, a byte a row, before any store, so that neither empty rows
// nor short runs cost a branch each.
template <int kPairs>
__attribute__((noinline)) void fill_narrow_pairs(const PreparedQuad& q, const Edges& e,
                                                 std::int32_t first, std::int32_t last,
                                                 const TargetImage& target) {
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
  for (std::int64_t block = first; block < last; block += kRowsPerBlock) {
    const int rows = static_cast<int>(std::min<std::int64_t>(kRowsPerBlock, last - block));
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

}  // namespace

// A dispatcher only: the fills are kept out of line, so that it saves no
// registers and calls the chosen one last.
void fill_narrow(const PreparedQuad& q, const Edges& e, std::int32_t first, std::int32_t last,
                 const TargetImage& target, int lanes) {
  const std::int64_t width = std::int64_t{q.x1} - q.x0;
#if defined(QUADLITE_WIDE_VECTORS)
  if (lanes >= 8 && cpu_has_avx512) {
    switch ((width + 7) / 8) {
      case 1: fill_narrow_octets<1>(q, e, first, last, target); break;
      case 2: fill_narrow_octets<2>(q, e, first, last, target); break;
      case 3: fill_narrow_octets<3>(q, e, first, last, target); break;
      default: assert(false && "too wide for the eight-lane narrow fill");
    }
    return;
  }
  if (lanes >= 4 && cpu_has_avx2) {
    switch ((width + 3) / 4) {
      case 1: fill_narrow_quads<1>(q, e, first, last, target); break;
      case 2: fill_narrow_quads<2>(q, e, first, last, target); break;
      case 3: fill_narrow_quads<3>(q, e, first, last, target); break;
      case 4: fill_narrow_quads<4>(q, e, first, last, target); break;
      case 5: fill_narrow_quads<5>(q, e, first, last, target); break;
      case 6: fill_narrow_quads<6>(q, e, first, last, target); break;
      default: assert(false && "too wide for the four-lane narrow fill");
    }
    return;
  }
#endif
  (void)lanes;
  switch ((width + 1) / 2) {
    case 1: fill_narrow_pairs<1>(q, e, first, last, target); break;
    case 2: fill_narrow_pairs<2>(q, e, first, last, target); break;
    case 3: fill_narrow_pairs<3>(q, e, first, last, target); break;
    case 4: fill_narrow_pairs<4>(q, e, first, last, target); break;
    default: assert(false && "the two-lane narrow fill takes boxes at most 8 columns wide");
  }
}

}  // namespace quadlite
