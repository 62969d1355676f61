// packed_colour (mesh.hpp) four colours to a vector, for code built for
// AVX2: the grid fill's and the face alpha pass's kernels share it.
#pragma once

#include "render/vector_types.hpp"

#if defined(QUADLITE_WIDE_VECTORS)
#include <immintrin.h>

#include "render/render_types.hpp"

namespace quadlite {
namespace packing_avx2 {

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

// The low 32 bits of each 64-bit lane, in order.
QUADLITE_AVX2 inline __m128i narrow(__m256i v) {
  const __m256i lows = _mm256_setr_epi32(0, 2, 4, 6, 0, 0, 0, 0);
  return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(v, lows));
}

// Four colours c0..c3 (R, G, B, A each) as channels: r, g, b, a.
struct Channels {
  __m256d r, g, b, a;
};
QUADLITE_AVX2 inline Channels channels(__m256d c0, __m256d c1, __m256d c2, __m256d c3) {
  const __m256d rb01 = _mm256_unpacklo_pd(c0, c1), ga01 = _mm256_unpackhi_pd(c0, c1);
  const __m256d rb23 = _mm256_unpacklo_pd(c2, c3), ga23 = _mm256_unpackhi_pd(c2, c3);
  return {_mm256_permute2f128_pd(rb01, rb23, 0x20), _mm256_permute2f128_pd(ga01, ga23, 0x20),
          _mm256_permute2f128_pd(rb01, rb23, 0x31), _mm256_permute2f128_pd(ga01, ga23, 0x31)};
}

// packed_colour of the four, alpha byte 255 (pack_rgba's memory order R, G,
// B, A is little-endian here: x86).
QUADLITE_AVX2 inline __m128i packed_four(const Channels& c) {
  __m128i out = _mm_or_si128(channel_byte(c.r, 0), channel_byte(c.g, 8));
  out = _mm_or_si128(out, channel_byte(c.b, 16));
  return _mm_or_si128(out, _mm_set1_epi32(static_cast<int>(0xFF000000u)));
}

// All ones in the lanes whose alpha is transparent() (|a| <= tolerance;
// NaN is not).
QUADLITE_AVX2 inline __m128i transparent_lanes(__m256d a) {
  const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
  const __m256d clear =
      _mm256_cmp_pd(_mm256_and_pd(a, magnitude), _mm256_set1_pd(kAlphaTolerance), _CMP_LE_OQ);
  return narrow(_mm256_castpd_si256(clear));
}

}  // namespace packing_avx2
}  // namespace quadlite

#endif
