// The batched walk eight quads to a vector, built for AVX-512 by its target
// attribute. fill_band calls it only where cpu_has_avx512 says the processor
// runs it.
#include "render/quads/quad_batch.hpp"

#if defined(QUADLITE_WIDE_VECTORS)
#include <immintrin.h>

#define QUADLITE_BATCH_TARGET QUADLITE_AVX512
#include "render/quads/quad_batch_walk.hpp"

namespace quadlite {
namespace {

struct Lanes8 {
  static constexpr int n = 8;
  static constexpr int box = 8;
  using D = F64x8;
  using M = I64x8;
  QUADLITE_AVX512 static D splat(double v) { return D{v, v, v, v, v, v, v, v}; }
  QUADLITE_AVX512 static M mask_splat(std::int64_t v) { return M{v, v, v, v, v, v, v, v}; }
  QUADLITE_AVX512 static M mask(unsigned b) {
    return reinterpret_cast<M>(_mm512_movm_epi64(static_cast<__mmask8>(b)));
  }
  QUADLITE_AVX512 static unsigned bits(M m) {
    return _mm512_movepi64_mask(reinterpret_cast<__m512i>(m));
  }
  // Nodes (x0 y0 .. x3 y3) (x4 y4 .. x7 y7): even and odd doubles of both.
  QUADLITE_AVX512 static void load_nodes(const double* p, D& x, D& y) {
    const __m512d lo = _mm512_loadu_pd(p), hi = _mm512_loadu_pd(p + 8);
    x = reinterpret_cast<D>(
        _mm512_permutex2var_pd(lo, _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0), hi));
    y = reinterpret_cast<D>(
        _mm512_permutex2var_pd(lo, _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1), hi));
  }
  QUADLITE_AVX512 static D floor(D v) {
    const __m512d w = reinterpret_cast<__m512d>(v);  // masked: the plain form warns
    return reinterpret_cast<D>(
        _mm512_mask_roundscale_pd(w, 0xFF, w, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
  }
  QUADLITE_AVX512 static D ceil(D v) {
    const __m512d w = reinterpret_cast<__m512d>(v);  // masked: the plain form warns
    return reinterpret_cast<D>(
        _mm512_mask_roundscale_pd(w, 0xFF, w, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC));
  }
};

}  // namespace

QUADLITE_AVX512 void walk_batches_avx512(const MeshView& mesh, const ClipBox& own,
                                         std::uint64_t begin, std::uint64_t end,
                                         const TargetImage& target, int lanes) noexcept {
  walk_in_batches<Lanes8>(mesh, own, begin, end, target, lanes);
}

}  // namespace quadlite

#endif
