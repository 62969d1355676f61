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
    layout(s);
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
    colours(s.mesh, integer(1, static_cast<int>(s.mesh.w * s.mesh.h) + 2));
    if (chance(0.08)) {  // one coordinate off the grid by an ulp
      double* v = s.mesh.node(integer(0, s.mesh.h), integer(0, s.mesh.w)) + integer(0, 1);
      *v = std::nextafter(*v, chance(0.5) ? 1e300 : -1e300);
    }
    if (chance(0.04)) s.mesh.node(integer(0, s.mesh.h), integer(0, s.mesh.w))[0] = kNaN;
    return s;
  }

  // A heat map as figures place it: an axes box inside margins, cells of
  // fractional size, evenly spaced, log-spaced or irregular, some edges on
  // pixel centres or within the tolerance's reach of one. Placed by the
  // matrix from data coordinates, as a host does, or given in pixels.
  GridScene figure() {
    GridScene s;
    s.width = integer(8, 160);
    s.height = integer(8, 120);
    layout(s);
    Placed x = figure_axis(s.width), y = figure_axis(s.height);
    s.mesh = TestMesh(x.data.size() - 1, y.data.size() - 1);
    const bool by_matrix = chance(0.5);
    for (std::uint64_t r = 0; r <= s.mesh.h; ++r)
      for (std::uint64_t c = 0; c <= s.mesh.w; ++c) {
        if (by_matrix) {
          s.mesh.set_node(r, c, x.data[c], y.data[r]);
        } else {
          s.mesh.set_node(r, c, x.pixels[c], y.pixels[r]);
        }
      }
    if (by_matrix) {
      s.mesh.matrix[0] = x.scale, s.mesh.matrix[2] = x.offset;
      s.mesh.matrix[4] = y.scale, s.mesh.matrix[5] = y.offset;
    }
    const int cells = static_cast<int>(s.mesh.w * s.mesh.h);
    colours(s.mesh, chance(0.6) ? cells : integer(1, cells + 2));
    return s;
  }

 private:
  // The target's layout and clip box.
  void layout(GridScene& s) {
    s.row_pad = chance(0.3) ? integer(1, 9) : 0;
    s.rows_reversed = chance(0.3);
    s.col_stride = chance(0.2) ? 8 : 4;
    s.clip = clip_box(s.width, s.height, 0.1);
  }

  // An axis in data units, the map a host would place it with (pixels =
  // scale * data + offset), and edges in pixels, some of them moved onto
  // pixel centres or near them.
  struct Placed {
    std::vector<double> data, pixels;
    double scale = 1, offset = 0;
  };

  Placed figure_axis(std::int32_t size) {
    const double lo = real(0.0, 0.3) * size, hi = real(0.6, 1.05) * size;
    // Mostly cells of 0.7 px and more; a few sub-pixel.
    const double most = (hi - lo) * (chance(0.15) ? 2.5 : 1.4);
    const int n = integer(1, std::max(1, static_cast<int>(most)));
    Placed a;
    a.data.resize(n + 1);
    const int kind = integer(0, 3);
    const double ratio = std::pow(10.0, real(0.5, 4.0) / n);
    for (int k = 0; k <= n; ++k) {
      if (kind == 0 || kind == 1) {
        a.data[k] = k;
      } else if (kind == 2) {  // log-spaced bins on a log axis
        a.data[k] = std::log10(20.0 * std::pow(ratio, k));
      } else {
        a.data[k] = k + real(-0.45, 0.45) * (k > 0 && k < n);
      }
    }
    if (chance(0.2)) std::reverse(a.data.begin(), a.data.end());
    a.scale = (hi - lo) / (a.data.back() - a.data.front());
    a.offset = lo - a.scale * a.data.front();
    a.pixels.resize(n + 1);
    for (int k = 0; k <= n; ++k) a.pixels[k] = a.scale * a.data[k] + a.offset;
    // Edges on a centre or within the tolerance of one, where the axis
    // stays monotone.
    const int moved = chance(0.5) ? integer(1, 4) : 0;
    for (int m = 0; m < moved; ++m) {
      const int k = integer(0, n);
      const double v = nudge(std::floor(a.pixels[k]) + 0.5);
      const bool rising = a.pixels[n] >= a.pixels[0];
      const double before = k > 0 ? a.pixels[k - 1] : v, after = k < n ? a.pixels[k + 1] : v;
      if (rising ? (before <= v && v <= after) : (before >= v && v >= after)) a.pixels[k] = v;
    }
    return a;
  }

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

  void colours(TestMesh& m, int rows) {
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
