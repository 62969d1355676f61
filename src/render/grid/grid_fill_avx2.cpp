// The grid fill's wide kernels, built for AVX2 by their target attribute
// (the file is not); the fill calls them only where cpu_has_avx2 says the
// processor runs them.
#include "render/grid/grid_fill_avx2.hpp"

#if defined(QUADLITE_WIDE_VECTORS)
#include <immintrin.h>

#include <cstring>

#include "render/mesh.hpp"

namespace quadlite {
namespace {

// The low 32 bits of each 64-bit lane, in order.
QUADLITE_AVX2 inline __m128i narrow(__m256i v) {
  const __m256i lows = _mm256_setr_epi32(0, 2, 4, 6, 0, 0, 0, 0);
  return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(v, lows));
}

// Twice packed_colour's value of a channel before rounding, truncated:
// max and min pick as its comparisons do (x > 0 ? x : 0, NaN to 0;
// x < 1 ? x : 1). x * 510 is exactly twice its x * 255 (doubling commutes
// with rounding, and where it does not, below the normal range, both lie
// below 1), and the truncation of 2v is twice that of v, plus one where v's
// fraction is at least one half: (result + 1) / 2 is its byte.
QUADLITE_AVX2 inline __m128i doubled_truncation(__m256d v) {
  v = _mm256_max_pd(v, _mm256_setzero_pd());
  v = _mm256_min_pd(v, _mm256_set1_pd(1.0));
  return _mm256_cvttpd_epi32(_mm256_mul_pd(v, _mm256_set1_pd(510.0)));
}

// packed_colour's byte of a channel, shifted into place.
QUADLITE_AVX2 inline __m128i channel_byte(__m256d v, int shift) {
  const __m128i byte = _mm_srli_epi32(_mm_add_epi32(doubled_truncation(v), _mm_set1_epi32(1)), 1);
  return _mm_sll_epi32(byte, _mm_cvtsi32_si128(shift));
}

}  // namespace

QUADLITE_AVX2 void pack_cells_wide(const double* row, const std::uint64_t* cells, std::size_t count,
                                   std::uint32_t* out) {
  // Cells whose colours are asked for ahead: far enough to cover a read from
  // memory where a row's cells lie far apart.
  constexpr std::size_t kAhead = 64;
  const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
  const __m256d tolerance = _mm256_set1_pd(kAlphaTolerance);
  std::size_t k = 0;
  for (; k + 4 <= count; k += 4) {
    if (k + kAhead + 4 <= count) {  // two cells of four: side by side, they share lines
      __builtin_prefetch(row + 4 * cells[k + kAhead]);
      __builtin_prefetch(row + 4 * cells[k + kAhead + 2]);
    }
    // One cell's R, G, B, A to a vector, then channels to vectors.
    const __m256d c0 = _mm256_loadu_pd(row + 4 * cells[k]);
    const __m256d c1 = _mm256_loadu_pd(row + 4 * cells[k + 1]);
    const __m256d c2 = _mm256_loadu_pd(row + 4 * cells[k + 2]);
    const __m256d c3 = _mm256_loadu_pd(row + 4 * cells[k + 3]);
    const __m256d rb01 = _mm256_unpacklo_pd(c0, c1), ga01 = _mm256_unpackhi_pd(c0, c1);
    const __m256d rb23 = _mm256_unpacklo_pd(c2, c3), ga23 = _mm256_unpackhi_pd(c2, c3);
    const __m256d r = _mm256_permute2f128_pd(rb01, rb23, 0x20);
    const __m256d b = _mm256_permute2f128_pd(rb01, rb23, 0x31);
    const __m256d g = _mm256_permute2f128_pd(ga01, ga23, 0x20);
    const __m256d a = _mm256_permute2f128_pd(ga01, ga23, 0x31);
    // pack_rgba's memory order R, G, B, A is little-endian here (x86).
    __m128i packed = _mm_or_si128(channel_byte(r, 0), channel_byte(g, 8));
    packed = _mm_or_si128(packed, channel_byte(b, 16));
    packed = _mm_or_si128(packed, _mm_set1_epi32(static_cast<int>(0xFF000000u)));
    const __m256d clear =
        _mm256_cmp_pd(_mm256_and_pd(a, magnitude), tolerance, _CMP_LE_OQ);  // transparent()
    packed = _mm_andnot_si128(narrow(_mm256_castpd_si256(clear)), packed);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), packed);
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
