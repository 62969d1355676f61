// The grid fill's wide kernels, built for AVX2 by their target attribute
// (the file is not); the fill calls them only where cpu_has_avx2 says the
// processor runs them.
#include "render/grid/grid_fill_avx2.hpp"

#if defined(QUADLITE_WIDE_VECTORS)
#include <immintrin.h>

#include <cstring>

#include "render/colour_packing_avx2.hpp"
#include "render/mesh.hpp"

namespace quadlite {

using namespace packing_avx2;

QUADLITE_AVX2 void pack_cells_wide(const double* row, const std::uint64_t* cells, std::size_t count,
                                   std::uint32_t* out) {
  // Cells whose colours are asked for ahead: far enough to cover a read from
  // memory where a row's cells lie far apart.
  constexpr std::size_t kAhead = 64;
  std::size_t k = 0;
  for (; k + 4 <= count; k += 4) {
    if (k + kAhead + 4 <= count) {  // two cells of four: side by side, they share lines
      __builtin_prefetch(row + 4 * cells[k + kAhead]);
      __builtin_prefetch(row + 4 * cells[k + kAhead + 2]);
    }
    // One cell's R, G, B, A to a vector, then channels to vectors.
    const Channels c =
        channels(_mm256_loadu_pd(row + 4 * cells[k]), _mm256_loadu_pd(row + 4 * cells[k + 1]),
                 _mm256_loadu_pd(row + 4 * cells[k + 2]), _mm256_loadu_pd(row + 4 * cells[k + 3]));
    const __m128i colours = _mm_andnot_si128(transparent_lanes(c.a), packed_four(c));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), colours);
  }
  for (; k < count; ++k) {
    const double* rgba = row + 4 * cells[k];
    out[k] = transparent(rgba) ? 0u : packed_colour(rgba);
  }
}

QUADLITE_AVX2 bool expand_runs_wide(const std::uint32_t* colours, const std::uint32_t* runs,
                                    std::size_t count, std::uint8_t* out) {
  const __m256i zero = _mm256_setzero_si256();
  __m256i left = zero;
  std::size_t k = 0;
  for (; k + 8 <= count; k += 8) {
    const __m256i run = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(runs + k));
    const __m256i colour = _mm256_i32gather_epi32(reinterpret_cast<const int*>(colours), run, 4);
    __m256i* const at = reinterpret_cast<__m256i*>(out + 4 * k);
    const __m256i none = _mm256_cmpeq_epi32(colour, zero);
    left = _mm256_or_si256(left, none);
    _mm256_storeu_si256(at, _mm256_blendv_epi8(colour, _mm256_loadu_si256(at), none));
  }
  bool whole = _mm256_testz_si256(left, left) != 0;
  for (; k < count; ++k) {
    const std::uint32_t colour = colours[runs[k]];
    if (colour != 0) {
      std::memcpy(out + 4 * k, &colour, 4);
    } else {
      whole = false;
    }
  }
  return whole;
}

}  // namespace quadlite

#endif
