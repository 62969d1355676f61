// The narrow fill's eight-lane kernel, built for AVX-512 by its target
// attribute, as the AVX2 kernel is. fill_narrow calls it only where
// cpu_has_avx512 says the processor runs it.
#include "render/quads/narrow_fill_avx512.hpp"

#if defined(QUADLITE_WIDE_VECTORS)
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "render/pixel_stores.hpp"
#include "render/quads/narrow_fill_avx2.hpp"

namespace quadlite {
namespace {

// v in every lane; inlined into the kernel, so no wide vector crosses a call.
QUADLITE_AVX512 QUADLITE_INLINE F64x8 all(double v) { return F64x8{v, v, v, v, v, v, v, v}; }

}  // namespace

// The rule of fill_narrow_pairs (narrow_fill.cpp), eight columns to a
// vector, its terms written out as in fill_narrow_quads (narrow_fill_avx2.cpp):
// the greatest and least edge values against +-kEdgeTolerance, NaN neutral.
// The last compares land in mask registers, and packed rows are stored
// through the row's mask by masked stores, which never touch a pixel the
// mask leaves out (nor fault on one).
template <int kOctets>
QUADLITE_AVX512 void fill_narrow_octets(const PreparedQuad& q, const Edges& e,
                                        std::int32_t first, std::int32_t last,
                                        const TargetImage& target) {
  static_assert(kOctets >= 1 && kOctets <= 3, "a row's columns fit 32 bits");
  const F64x8 halves{0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5};
  F64x8 u[4][kOctets];
  // pixel_centre of the box's columns: whole numbers and halves, exact.
  for (int c = 0; c < kOctets; ++c) {
    const F64x8 X = all(q.x0) + (halves + 8.0 * c);
    for (int k = 0; k < 4; ++k) u[k][c] = all(e.dy[k]) * (X - all(e.x[k]));
  }
  const std::uint32_t in_box = (std::uint32_t{1} << (q.x1 - q.x0)) - 1u;
  const F64x8 above = all(kEdgeTolerance), below = all(-kEdgeTolerance);
  const bool packed = target.col_stride == 4;
  std::uint8_t* const column0 = target.data + std::int64_t{q.x0} * target.col_stride;
  const __m512i colour = _mm512_set1_epi32(static_cast<int>(q.colour));
  const __m256i colour8 = _mm256_set1_epi32(static_cast<int>(q.colour));
  // A box over 8 columns spans a line or more a row: its rows' lines are
  // asked for up front, as the span fill does, so that their misses overlap
  // the compares instead of each row's stores waiting on them.
  if (kOctets >= 2)
    for (std::int64_t i = first; i < last; ++i)
      prefetch_run(buffer_row(target, i), target.col_stride, q.x0, q.x1);
  for (std::int64_t block = first; block < last; block += kRowsPerBlock) {
    const int rows = static_cast<int>(std::min<std::int64_t>(kRowsPerBlock, last - block));
    // Row r of the block, edge k: terms[k][r], row_term of eight rows at once.
    alignas(64) double terms[4][kRowsPerBlock];
    const F64x8 Y = all(static_cast<double>(block)) + halves;
    for (int k = 0; k < 4; ++k) {
      const F64x8 t = all(e.dx[k]) * (Y - all(e.y[k]));
      std::memcpy(terms[k], &t, sizeof t);
    }
    std::uint8_t* row = column0 + row_offset(target, block);
    for (int r = 0; r < rows; ++r, row -= target.row_stride) {
      F64x8 a[4];
      for (int k = 0; k < 4; ++k) a[k] = all(terms[k][r]);
      std::uint32_t split = 0;
      for (int c = 0; c < kOctets; ++c) {
        F64x8 greatest = above, least = below;
        for (int k = 0; k < 4; ++k) {
          const F64x8 value = a[k] - u[k][c];
          greatest = value > greatest ? value : greatest;
          least = value < least ? value : least;
        }
        const __mmask8 positive = _mm512_cmp_pd_mask(greatest, above, _CMP_GT_OQ);
        const __mmask8 both = _mm512_mask_cmp_pd_mask(positive, least, below, _CMP_LT_OQ);
        split |= std::uint32_t{both} << (8 * c);
      }
      const std::uint32_t mask = ~split & in_box;
      if (!packed) {
        store_row_bits(row, target.col_stride, mask, q.colour);
        continue;
      }
      // The row through its mask in one or two stores: on the AMD processor
      // measured, they took about half the time of the rows' runs.
      if (kOctets == 1) {
        _mm256_mask_storeu_epi32(row, static_cast<__mmask8>(mask), colour8);
      } else {
        _mm512_mask_storeu_epi32(row, static_cast<__mmask16>(mask), colour);
        if (kOctets == 3)
          _mm256_mask_storeu_epi32(row + 64, static_cast<__mmask8>(mask >> 16), colour8);
      }
    }
  }
}

template void fill_narrow_octets<1>(const PreparedQuad&, const Edges&, std::int32_t, std::int32_t,
                                    const TargetImage&);
template void fill_narrow_octets<2>(const PreparedQuad&, const Edges&, std::int32_t, std::int32_t,
                                    const TargetImage&);
template void fill_narrow_octets<3>(const PreparedQuad&, const Edges&, std::int32_t, std::int32_t,
                                    const TargetImage&);

}  // namespace quadlite

#endif
