// The narrow fill's four-lane kernel, built for AVX2 by its target attribute
// (the file is not: helpers it shares with other files stay plain code).
// fill_narrow calls it only where cpu_has_avx2 says the processor runs it.
#include "render/quads/narrow_fill_avx2.hpp"

#if defined(QUADLITE_WIDE_VECTORS)
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "render/pixel_stores.hpp"

namespace quadlite {

// The rule of fill_narrow_pairs (narrow_fill.cpp), four columns to a
// vector. Everything wide stays inside this function, so no helper that
// takes or returns a wide vector is called, and the terms are written out:
// u is column_term, and terms holds row_term for the rows of a block,
// formed four rows to a vector. In place of
// clearly_positive and clearly_negative on every edge value, the greatest
// and least of the values and +-kEdgeTolerance are kept: v > m ? v : m
// keeps m for a NaN v, so some value is clearly positive (negative) exactly
// when the greatest (least) is beyond the tolerance, and NaN stays neutral.
template <int kQuads>
QUADLITE_AVX2 void fill_narrow_quads(const PreparedQuad& q, const Edges& e, std::int32_t first,
                                     std::int32_t last, const TargetImage& target) {
  static_assert(kQuads >= 1 && kQuads <= 6, "a row's columns fit 24 bits");
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
  const bool packed = target.col_stride == 4;
  std::uint8_t* const column0 = target.data + std::int64_t{q.x0} * target.col_stride;
  // A box over 8 columns spans a line or more a row: its rows' lines are
  // asked for up front, as the span fill does, so that their misses overlap
  // the compares instead of each row's stores waiting on them.
  if (kQuads >= 3)
    for (std::int64_t i = first; i < last; ++i)
      prefetch_run(buffer_row(target, i), target.col_stride, q.x0, q.x1);
  for (std::int64_t block = first; block < last; block += kRowsPerBlock) {
    const int rows = static_cast<int>(std::min<std::int64_t>(kRowsPerBlock, last - block));
    // Row r of the block, edge k: terms[k][r].
    alignas(32) double terms[4][kRowsPerBlock];
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
    std::uint8_t* row = column0 + row_offset(target, block);
    std::uint64_t block_mask = 0;  // the block's rows, a byte each, for kQuads 1 and 2
    for (int r = 0; r < rows; ++r, row -= target.row_stride) {
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
      const std::uint64_t mask = ~split & in_box;
      if (kQuads <= 2) {
        block_mask |= mask << (8 * r);
        continue;
      }
      if (!packed) {
        store_row_bits(row, target.col_stride, mask, q.colour);
        continue;
      }
      // Runs, not AVX2's masked store (vpmaskmovd): where it is slow, as on
      // the AMD processor measured, it cost more than the runs.
      store_row_runs(row, mask, q.colour);
    }
    // Boxes at most 8 columns wide, pixel by pixel from the block's mask:
    // on the 0.25 degree map and the annulus, whose rows hold a few pixels,
    // the runs' branches on each row cost more than one per pixel.
    if (kQuads <= 2) store_mask(block_mask, block, column0, target, q.colour);
  }
}

template void fill_narrow_quads<1>(const PreparedQuad&, const Edges&, std::int32_t, std::int32_t,
                                   const TargetImage&);
template void fill_narrow_quads<2>(const PreparedQuad&, const Edges&, std::int32_t, std::int32_t,
                                   const TargetImage&);
template void fill_narrow_quads<3>(const PreparedQuad&, const Edges&, std::int32_t, std::int32_t,
                                   const TargetImage&);
template void fill_narrow_quads<4>(const PreparedQuad&, const Edges&, std::int32_t, std::int32_t,
                                   const TargetImage&);
template void fill_narrow_quads<5>(const PreparedQuad&, const Edges&, std::int32_t, std::int32_t,
                                   const TargetImage&);
template void fill_narrow_quads<6>(const PreparedQuad&, const Edges&, std::int32_t, std::int32_t,
                                   const TargetImage&);

}  // namespace quadlite

#endif
