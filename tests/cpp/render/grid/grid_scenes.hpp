// Seeded grids built to hit the grid path's traps (edges on and near pixel
// centres, tolerances scaled by the other side, zero-width, reversed, folded
// and overflowing axes, tiny and sub-pixel cells, transparent and NaN
// colours, cycled colours, clip boxes anywhere, every target layout), and
// the generic passes to hold them against.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "support/render_test_support.hpp"

namespace quadlite {
namespace testing_support {

struct GridScene {
  TestMesh mesh{1, 1};
  std::int32_t width = 1, height = 1;
  ClipBox clip;
  std::int64_t row_pad = 0, col_stride = 4;
  bool rows_reversed = false;

  // Every pixel different, so that a pixel written from the wrong row or
  // not left alone shows.
  GuardedTarget target() const {
    GuardedTarget t(width, height, row_pad, rows_reversed, col_stride);
    for (std::int32_t y = 0; y < height; ++y)
      for (std::int32_t x = 0; x < width; ++x) t.set_pixel(x, y, 0x9E3779B9u * (y * 64 + x + 1));
    return t;
  }
};

class GridMaker : public RandomPicks {
  static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

 public:
  explicit GridMaker(std::uint64_t seed) : RandomPicks(seed) {}

  GridScene make() {
    GridScene s;
    s.width = integer(1, 40);
    s.height = integer(1, 40);
    s.row_pad = chance(0.3) ? integer(1, 9) : 0;
    s.rows_reversed = chance(0.3);
    s.col_stride = chance(0.2) ? 8 : 4;
    s.clip = clip_box(s.width, s.height, 0.1);
    const std::vector<double> xs = axis(integer(1, 12), s.width);
    const std::vector<double> ys = axis(integer(1, 12), s.height);
    s.mesh = TestMesh(xs.size() - 1, ys.size() - 1);
    const int map = integer(0, 9);
    for (std::uint64_t r = 0; r < ys.size(); ++r)
      for (std::uint64_t c = 0; c < xs.size(); ++c) {
        if (map == 0) {  // axes swapped by the matrix below: a transposed grid
          s.mesh.set_node(r, c, ys[r], xs[c]);
        } else {
          s.mesh.set_node(r, c, xs[c], ys[r]);
        }
      }
    double* m = s.mesh.matrix;
    if (map == 0) {
      m[0] = 0, m[1] = 1, m[3] = 1, m[4] = 0;
    } else if (map <= 3) {  // scaled and shifted, possibly mirrored
      const double scales[] = {0.5, 2.0, -1.0, -0.25, 3.0};
      m[0] = scales[integer(0, 4)];
      m[4] = scales[integer(0, 4)];
      for (std::uint64_t k = 0; k < s.mesh.coords.size(); k += 2) {
        s.mesh.coords[k] /= m[0];
        s.mesh.coords[k + 1] /= m[4];
      }
      m[2] = integer(-2, 2) * 0.25;
      m[5] = integer(-2, 2) * 0.25;
    }
    if (chance(0.3)) m[6] = kNaN;  // never read
    colours(s.mesh);
    if (chance(0.08)) {  // one coordinate off the grid by an ulp
      double* v = s.mesh.node(integer(0, s.mesh.h), integer(0, s.mesh.w)) + integer(0, 1);
      *v = std::nextafter(*v, chance(0.5) ? 1e300 : -1e300);
    }
    if (chance(0.04)) s.mesh.node(integer(0, s.mesh.h), integer(0, s.mesh.w))[0] = kNaN;
    return s;
  }

 private:
  // Offsets around the edge tolerance and a few ulps.
  double nudge(double v) {
    switch (integer(0, 6)) {
      case 0: {
        const double nudges[] = {1e-13, -1e-13, 5e-13, -5e-13, 2e-12, -2e-12};
        return v + nudges[integer(0, 5)];
      }
      case 1: return std::nextafter(v, chance(0.5) ? 1e300 : -1e300);
      default: return v;
    }
  }

  // n cells along an image side of `size` pixels.
  std::vector<double> axis(int n, std::int32_t size) {
    std::vector<double> e(n + 1);
    const double start = real(-0.3, 0.5) * size;
    switch (integer(0, 9)) {
      case 0: {  // on pixel edges and centres, nudged
        const double step = 0.5 * integer(0, 8);
        for (int k = 0; k <= n; ++k) e[k] = nudge(std::round(start * 2) / 2 + step * k);
        break;
      }
      case 1:  // sub-pixel
        for (int k = 0; k <= n; ++k) e[k] = start + real(0.1, 0.7) * k;
        break;
      case 2: {  // tiny cells: the other axis's tolerance spans pixels
        const double step = std::ldexp(1.0, -integer(38, 46));
        const double at = std::round(start) + 0.5 * integer(0, 1);
        for (int k = 0; k <= n; ++k) e[k] = at + step * (k - n / 2);
        break;
      }
      case 3:  // zero-width cells among others
        e[0] = std::round(start * 2) / 2;
        for (int k = 1; k <= n; ++k) e[k] = e[k - 1] + (chance(0.4) ? 0.0 : 0.5 * integer(1, 9));
        break;
      case 4:  // folded: not monotone
        for (int k = 0; k <= n; ++k) e[k] = real(-0.2, 1.2) * size;
        break;
      case 5:  // huge: widths beyond 2^31, or overflowing to inf
        for (int k = 0; k <= n; ++k) e[k] = (k - n / 2.0) * (chance(0.5) ? 3e9 : 1.7e308);
        break;
      default:  // sorted random
        for (int k = 0; k <= n; ++k) e[k] = real(-0.2, 1.2) * size;
        std::sort(e.begin(), e.end());
        break;
    }
    if (chance(0.3)) std::reverse(e.begin(), e.end());
    return e;
  }

  void colours(TestMesh& m) {
    const int rows = integer(1, static_cast<int>(m.w * m.h) + 2);
    const double alphas[] = {1, 1, 1, 1, 1, 0, -0.0, 1e-13, -1e-12, kNaN, 1 - 1e-13};
    for (int k = 0; k < rows; ++k) {
      double rgb[3];
      for (double& v : rgb) v = chance(0.05) ? kNaN : real(-0.2, 1.2);
      m.add_colour(rgb[0], rgb[1], rgb[2], alphas[integer(0, 10)]);
    }
  }

};

// The generic passes in their plainest form; false when they decline.
inline bool generic_draw(const GridScene& s, GuardedTarget& t) {
  return testing_support::draw(s.mesh, s.clip, 1, 1, t.image());
}

inline std::int32_t clip_rows(const ClipBox& clip) {
  return static_cast<std::int32_t>(std::max<std::int64_t>(0, std::int64_t{clip.y1} - clip.y0));
}

}  // namespace testing_support
}  // namespace quadlite
