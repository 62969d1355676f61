// The batched walk two quads to a vector, for every processor.
#include "render/quads/quad_batch.hpp"

#include <cmath>

#define QUADLITE_BATCH_TARGET
#include "render/quads/quad_batch_walk.hpp"

namespace quadlite {
namespace {

// floor by truncation: exact for every finite double (from 2^52 on, every
// double is whole); NaN and infinities pass through.
QUADLITE_INLINE double floor_exact(double v) {
  if (!(std::fabs(v) < 4503599627370496.0)) return v;
  const double t = static_cast<double>(static_cast<std::int64_t>(v));
  return t > v ? t - 1.0 : t;
}
QUADLITE_INLINE double ceil_exact(double v) { return -floor_exact(-v); }

struct Lanes2 {
  static constexpr int n = 2;
  // Two lanes test a box of 4 x 4 centres for about what fill_quad costs.
  static constexpr int box = 4;
  using D = F64x2;
  using M = I64x2;
  static D splat(double v) { return D{v, v}; }
  static M mask_splat(std::int64_t v) { return M{v, v}; }
  static M mask(unsigned b) { return (M{1, 2} & mask_splat(b)) != mask_splat(0); }
  static unsigned bits(M m) { return lane_bits(m); }
  static void load_nodes(const double* p, D& x, D& y) {
    x = D{p[0], p[2]};
    y = D{p[1], p[3]};
  }
  static D floor(D v) { return D{floor_exact(v[0]), floor_exact(v[1])}; }
  static D ceil(D v) { return D{ceil_exact(v[0]), ceil_exact(v[1])}; }
};

}  // namespace

void walk_batches(const MeshView& mesh, const ClipBox& own, std::uint64_t begin,
                  std::uint64_t end, const TargetImage& target, int lanes) noexcept {
  walk_in_batches<Lanes2>(mesh, own, begin, end, target, lanes);
}

}  // namespace quadlite
