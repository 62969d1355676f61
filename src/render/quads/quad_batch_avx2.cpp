// The batched walk four quads to a vector, built for AVX2 by its target
// attribute (the file is not: what it shares with other files stays plain
// code). fill_band calls it only where cpu_has_avx2 says the processor runs it.
#include "render/quads/quad_batch.hpp"

#if defined(QUADLITE_WIDE_VECTORS)
#include <immintrin.h>

#define QUADLITE_BATCH_TARGET QUADLITE_AVX2
#include "render/quads/quad_batch_walk.hpp"

namespace quadlite {
namespace {

struct Lanes4 {
  static constexpr int n = 4;
  static constexpr int box = 8;
  using D = F64x4;
  using M = I64x4;
  QUADLITE_AVX2 static D splat(double v) { return D{v, v, v, v}; }
  QUADLITE_AVX2 static M mask_splat(std::int64_t v) { return M{v, v, v, v}; }
  QUADLITE_AVX2 static M mask(unsigned b) {
    return (M{1, 2, 4, 8} & mask_splat(b)) != mask_splat(0);
  }
  QUADLITE_AVX2 static unsigned bits(M m) {
    return static_cast<unsigned>(_mm256_movemask_pd(reinterpret_cast<__m256d>(m)));
  }
  // Nodes (x0 y0 x1 y1) (x2 y2 x3 y3): unpacked to x0 x2 x1 x3, then put in order.
  QUADLITE_AVX2 static void load_nodes(const double* p, D& x, D& y) {
    const __m256d lo = _mm256_loadu_pd(p), hi = _mm256_loadu_pd(p + 4);
    x = reinterpret_cast<D>(_mm256_permute4x64_pd(_mm256_unpacklo_pd(lo, hi), 0xD8));
    y = reinterpret_cast<D>(_mm256_permute4x64_pd(_mm256_unpackhi_pd(lo, hi), 0xD8));
  }
  QUADLITE_AVX2 static D floor(D v) {
    return reinterpret_cast<D>(
        _mm256_round_pd(reinterpret_cast<__m256d>(v), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
  }
  QUADLITE_AVX2 static D ceil(D v) {
    return reinterpret_cast<D>(
        _mm256_round_pd(reinterpret_cast<__m256d>(v), _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC));
  }
};

}  // namespace

QUADLITE_AVX2 void walk_batches_avx2(const MeshView& mesh, const ClipBox& own,
                                     std::uint64_t begin, std::uint64_t end,
                                     const TargetImage& target, int lanes) noexcept {
  walk_in_batches<Lanes4>(mesh, own, begin, end, target, lanes);
}

}  // namespace quadlite

#endif
