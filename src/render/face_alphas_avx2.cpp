// The face alpha pass's four-lane kernel, built for AVX2 by its target
// attribute (the file is not); alphas_binary calls it only where
// cpu_has_avx2 says the processor runs it.
#include "render/face_alphas_avx2.hpp"

#if defined(QUADLITE_WIDE_VECTORS)
#include <immintrin.h>

#include <cmath>

#include "render/colour_packing_avx2.hpp"
#include "render/face_alphas.hpp"

namespace quadlite {

using namespace packing_avx2;

// The rule of alphas_binary's loop (face_alphas.cpp), four rows to a
// vector: an alpha beyond the tolerance of both 0 and 1 (NaN is not)
// declines, and each row's face_colour is packed_colour's bytes with the
// alpha byte cleared where transparent() holds.
QUADLITE_AVX2 bool alphas_binary_packing_avx2(const double* colours, std::uint64_t begin,
                                              std::uint64_t end, std::uint32_t* packed) noexcept {
  const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
  const __m256d tolerance = _mm256_set1_pd(kAlphaTolerance);
  const __m128i alpha_byte = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  std::uint64_t k = begin;
  for (; k + 4 <= end; k += 4) {
    const double* row = colours + 4 * k;
    const Channels c = channels(_mm256_loadu_pd(row), _mm256_loadu_pd(row + 4),
                                _mm256_loadu_pd(row + 8), _mm256_loadu_pd(row + 12));
    const __m256d off_0 = _mm256_cmp_pd(_mm256_and_pd(c.a, magnitude), tolerance, _CMP_GT_OQ);
    const __m256d off_1 = _mm256_cmp_pd(
        _mm256_and_pd(_mm256_sub_pd(c.a, _mm256_set1_pd(1.0)), magnitude), tolerance, _CMP_GT_OQ);
    if (_mm256_movemask_pd(_mm256_and_pd(off_0, off_1)) != 0) return false;
    const __m128i clear = _mm_and_si128(transparent_lanes(c.a), alpha_byte);
    const __m128i faces = _mm_andnot_si128(clear, packed_four(c));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(packed + k), faces);
  }
  for (; k < end; ++k) {
    const double a = colours[4 * k + 3];
    if (std::fabs(a) > kAlphaTolerance && std::fabs(a - 1.0) > kAlphaTolerance) return false;
    packed[k] = face_colour(colours + 4 * k);
  }
  return true;
}

}  // namespace quadlite

#endif
