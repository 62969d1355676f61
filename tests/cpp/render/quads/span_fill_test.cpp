// fill_quad against the per-pixel edge rule on seeded random and adversarial
// quads, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "render/quads/fill_pass.hpp"
#include "support/render_test_support.hpp"

namespace quadlite {
namespace {

using testing_support::GuardedTarget;
using testing_support::RandomPicks;

const double kBig = std::numeric_limits<double>::max();

// What the reference met, so the test can insist the generator reaches the
// hard cases.
struct Seen {
  long painted = 0;
  long nan_values = 0;          // edge values that were NaN
  long within_tolerance = 0;    // non-zero values within +-1e-12
  long at_tolerance = 0;        // values of exactly +-1e-12
  long on_edge = 0;             // values of exactly 0: centres on an edge
  long two_span_rows = 0;       // rows whose covered pixels form two runs
  long wide_slanted = 0;        // quads over 8 columns wide with a slanted edge
  long narrow_slanted = 0;
  long axis_aligned = 0;
};

// The rule, literally: every pixel of rows [first, last) of the box.
void reference_fill(const PreparedQuad& q, std::int32_t first, std::int32_t last,
                    std::vector<std::uint32_t>& pixels, std::int32_t width, Seen& seen) {
  for (std::int32_t y = first; y < last; ++y) {
    int runs = 0;
    bool previous = false;
    for (std::int32_t x = q.x0; x < q.x1; ++x) {
      const double X = x + 0.5, Y = y + 0.5;
      bool pos = false, neg = false;
      for (int k = 0; k < 4; ++k) {
        const Point& a = q.p[k];
        const Point& b = q.p[(k + 1) % 4];
        const double e = (b.x - a.x) * (Y - a.y) - (b.y - a.y) * (X - a.x);
        pos = pos || e > 1e-12;
        neg = neg || e < -1e-12;
        seen.nan_values += std::isnan(e);
        seen.within_tolerance += e != 0 && std::fabs(e) <= 1e-12;
        seen.at_tolerance += std::fabs(e) == 1e-12;
        seen.on_edge += e == 0;
      }
      const bool covered = !(pos && neg);
      runs += covered && !previous;
      previous = covered;
      if (covered) {
        pixels[static_cast<std::size_t>(y) * width + x] = q.colour;
        ++seen.painted;
      }
    }
    seen.two_span_rows += runs >= 2;
  }
}

class QuadMaker : public RandomPicks {
 public:
  explicit QuadMaker(std::uint64_t seed) : RandomPicks(seed) {}

  // Vertices of one of several kinds, in image-sized coordinates.
  void vertices(Point p[4], double w, double h) {
    any_box = false;
    switch (integer(0, 11)) {
      case 0: convex(p, w, h, real(0.05, 3)); break;
      case 1: convex(p, w, h, real(3, 2 * (w + h))); break;
      case 2: arbitrary(p, w, h); break;
      case 3: near_degenerate(p, w, h); break;
      case 4: nearly_horizontal(p, w, h); break;
      case 5: huge(p, w, h); break;
      case 6: through_centres(p, w, h); break;
      case 7: overflowing(p, w, h); break;
      case 8: tolerance_band(p, w, h); break;
      case 9:
      case 10: at_the_tolerance(p); break;
      default: axis_aligned(p, w, h); break;
    }
    if (chance(0.5)) std::swap(p[1], p[3]);  // other winding
  }

  bool any_box = false;  // the quad wants a box of any size, not its own

 private:
  Point around(double w, double h) { return {real(-0.2 * w, 1.2 * w), real(-0.2 * h, 1.2 * h)}; }

  // A rotated, sheared rectangle of about `size` pixels.
  void convex(Point p[4], double w, double h, double size) {
    const Point c = around(w, h);
    const double t = real(-3.2, 3.2), a = size * real(0.2, 1), b = size * real(0.2, 1),
                 k = real(-0.7, 0.7);
    const double local[4][2] = {{-a, -b}, {a, -b}, {a, b}, {-a, b}};
    for (int i = 0; i < 4; ++i) {
      const double x = local[i][0] + k * local[i][1], y = local[i][1];
      p[i] = {c.x + x * std::cos(t) - y * std::sin(t), c.y + x * std::sin(t) + y * std::cos(t)};
    }
  }
  // Any four points: bow-ties and concave outlines paint two lobes.
  void arbitrary(Point p[4], double w, double h) {
    for (int i = 0; i < 4; ++i) p[i] = around(w, h);
  }
  void near_degenerate(Point p[4], double w, double h) {
    const Point a = around(w, h), b = around(w, h);
    const double off = std::vector<double>{0, 1e-300, 1e-15, 1e-12, 1e-9, 1e-3}[integer(0, 5)];
    for (int i = 0; i < 4; ++i) {
      const double t = real(-0.5, 1.5);
      p[i] = {a.x + t * (b.x - a.x), a.y + t * (b.y - a.y)};
    }
    p[integer(0, 3)].y += off * (chance(0.5) ? 1 : -1);
    if (chance(0.2)) p[1] = p[0];
    if (chance(0.1)) p[3] = p[2] = p[1] = p[0];
  }
  // Long edges whose height is a hair: crossings far from the estimate.
  void nearly_horizontal(Point p[4], double w, double h) {
    const double y = std::round(real(0, h)) + (chance(0.5) ? 0.5 : real(0, 1));
    const double tilt = std::vector<double>{1e-3, 1e-7, 1e-11, 1e-13, 4e-16, 0}[integer(0, 5)];
    const double thick = chance(0.5) ? real(0, 3) : 0.0;
    p[0] = {real(-2 * w, 0.5 * w), y};
    p[1] = {real(0.5 * w, 3 * w), y + tilt * (chance(0.5) ? 1 : -1)};
    p[2] = {p[1].x + real(-1, 1), p[1].y + thick};
    p[3] = {p[0].x + real(-1, 1), y + thick + tilt * real(-1, 1)};
  }
  // Coordinates up to 1e300: products overflow, differences lose the pixel.
  void huge(Point p[4], double w, double h) {
    const double scale = std::pow(10.0, real(6, 300));
    for (int i = 0; i < 4; ++i) p[i] = chance(0.5) ? around(w, h)
                                                 : Point{real(-1, 1) * scale, real(-1, 1) * scale};
  }
  // Vertices on pixel centres and corners, edges along rows, columns and diagonals.
  void through_centres(Point p[4], double w, double h) {
    for (int i = 0; i < 4; ++i)
      p[i] = {0.5 * integer(-4, static_cast<int>(2 * w) + 4),
              0.5 * integer(-4, static_cast<int>(2 * h) + 4)};
    if (chance(0.5)) {  // a diamond whose edges pass through centres
      const double cx = integer(0, static_cast<int>(w)) + 0.5, cy = integer(0, static_cast<int>(h)) + 0.5;
      const double r = integer(1, 6);
      p[0] = {cx - r, cy};
      p[1] = {cx, cy - r};
      p[2] = {cx + r, cy};
      p[3] = {cx, cy + r};
    }
  }
  // Edge vectors of infinite length: inf * 0 and inf - inf give NaN.
  void overflowing(Point p[4], double w, double h) {
    const double X = integer(0, static_cast<int>(w)) + 0.5, Y = integer(0, static_cast<int>(h)) + 0.5;
    const Point far[] = {{-kBig, Y}, {kBig, Y}, {X, -kBig}, {X, kBig},
                         {kBig, kBig}, {-kBig, kBig}, {-kBig, -kBig}, {kBig, -kBig}};
    for (int i = 0; i < 4; ++i) p[i] = chance(0.6) ? far[integer(0, 7)] : Point{X, Y};
    if (chance(0.3)) p[integer(0, 3)] = around(w, h);
  }
  // Pixel centres within a hair of an edge, inside and outside the tolerance.
  void tolerance_band(Point p[4], double w, double h) {
    const double x0 = integer(0, static_cast<int>(w)) + 0.5;
    const double len = integer(1, 6);  // edge values are len * distance
    const double d = std::vector<double>{0, 1e-13, 2e-13, 9e-13, 1e-12, 1.1e-12, 5e-12}[integer(0, 6)] /
                     len * (chance(0.5) ? 1 : -1);
    const double y0 = real(-2, h + 2), y1 = y0 + len;
    const double side = real(0.2, 8) * (chance(0.5) ? 1 : -1);
    p[0] = {x0 + d, y0};
    p[1] = {x0 + d, y1};
    p[2] = {x0 + d + side, y1};
    p[3] = {x0 + d + side, y0};
    if (chance(0.5)) {  // the same along a row
      for (int i = 0; i < 4; ++i) std::swap(p[i].x, p[i].y);
    }
  }
  // A quad a few 1e-12 across at the origin: at centres near it the edge
  // values are small multiples of 0.5e-12, exactly +-1e-12 on some edges.
  void at_the_tolerance(Point p[4]) {
    const double steps[] = {0, 1e-12, -1e-12, 2e-12, -2e-12, 4e-12, -4e-12};
    for (int i = 0; i < 4; ++i) p[i] = {steps[integer(0, 6)], steps[integer(0, 6)]};
    if (chance(0.5)) p[0] = {0, 0};
    any_box = true;
  }
  void axis_aligned(Point p[4], double w, double h) {
    const Point a = around(w, h), b = around(w, h);
    p[0] = {a.x, a.y};
    p[1] = {b.x, a.y};
    p[2] = {b.x, b.y};
    p[3] = {a.x, b.y};
  }

};

// The box of the vertices inside the image, or sometimes any box.
bool box_for(PreparedQuad& q, QuadMaker& make, std::int32_t w, std::int32_t h) {
  if (make.any_box || make.chance(0.15)) {
    // Quads that want any box mostly get one at the origin, where they are.
    q.x0 = make.any_box && make.chance(0.8) ? 0 : make.integer(0, w - 1);
    q.x1 = make.integer(q.x0 + 1, w);
    q.y0 = make.any_box && make.chance(0.8) ? 0 : make.integer(0, h - 1);
    q.y1 = make.integer(q.y0 + 1, h);
    if (make.any_box && make.chance(0.3)) {  // a single pixel
      q.x1 = q.x0 + 1;
      q.y1 = q.y0 + 1;
    }
    return true;
  }
  double lo_x = q.p[0].x, hi_x = lo_x, lo_y = q.p[0].y, hi_y = lo_y;
  for (const Point& v : q.p) {
    lo_x = std::min(lo_x, v.x);
    hi_x = std::max(hi_x, v.x);
    lo_y = std::min(lo_y, v.y);
    hi_y = std::max(hi_y, v.y);
  }
  q.x0 = std::max(0, lower_bound_px(lo_x));
  q.x1 = std::min(upper_bound_px(hi_x), w);
  q.y0 = std::max(0, lower_bound_px(lo_y));
  q.y1 = std::min(upper_bound_px(hi_y), h);
  return q.x0 < q.x1 && q.y0 < q.y1;
}

// Every vector width this processor runs: two lanes everywhere, four with
// AVX2, eight with AVX-512.
std::vector<int> lane_widths() {
  std::vector<int> out = {2};
  for (const int lanes : {4, 8})
    if (lanes <= widest_lanes()) out.push_back(lanes);
  return out;
}

bool slanted(const PreparedQuad& q) {
  for (int k = 0; k < 4; ++k) {
    const Point& a = q.p[k];
    const Point& b = q.p[(k + 1) % 4];
    if (a.x != b.x && a.y != b.y) return true;
  }
  return false;
}

// t's image with its columns in reverse order: device column x is t's
// column width - 1 - x, the column stride negated.
TargetImage mirrored(const GuardedTarget& t) {
  TargetImage m = t.image();
  m.data += (std::int64_t{m.width} - 1) * m.col_stride;
  m.col_stride = -m.col_stride;
  return m;
}

// What a fill through mirrored(t) drew, in its own device order.
std::vector<std::uint32_t> mirrored_pixels(const GuardedTarget& t) {
  std::vector<std::uint32_t> out;
  for (std::int32_t y = 0; y < t.height(); ++y)
    for (std::int32_t x = t.width() - 1; x >= 0; --x) out.push_back(t.pixel(x, y));
  return out;
}

TEST(SpanFill, MatchesThePerPixelRuleByteForByte) {
  Seen seen;
  const int kQuads = 60000;
  int filled = 0;
  for (int seed = 0; seed < kQuads; ++seed) {
    QuadMaker make(seed);
    const std::int32_t w = make.integer(1, 64), h = make.integer(1, 40);
    PreparedQuad q;
    make.vertices(q.p, w, h);
    q.colour = pack_rgba(static_cast<std::uint8_t>(seed), 7, 200, 255);
    if (!box_for(q, make, w, h)) continue;
    ++filled;
    const std::int32_t first = make.chance(0.7) ? q.y0 : make.integer(q.y0, q.y1 - 1);
    const std::int32_t last = make.chance(0.7) ? q.y1 : make.integer(first, q.y1);
    const std::int32_t width = q.x1 - q.x0;
    seen.wide_slanted += width > 8 && slanted(q);
    seen.narrow_slanted += width <= 8 && slanted(q);
    seen.axis_aligned += !slanted(q);

    std::vector<std::uint32_t> want(static_cast<std::size_t>(w) * h, GuardedTarget::fill_colour());
    reference_fill(q, first, last, want, w, seen);
    const std::int64_t row_pad = make.integer(0, 1) * 3;
    const bool reversed = make.chance(0.3);
    const std::int64_t col_stride = make.chance(0.2) ? 8 : 4;
    const bool columns_reversed = make.chance(0.15);
    for (const int lanes : lane_widths()) {
      GuardedTarget t(w, h, row_pad, reversed, col_stride);
      fill_quad(q, first, last, columns_reversed ? mirrored(t) : t.image(), lanes);
      const std::vector<std::uint32_t> got = columns_reversed ? mirrored_pixels(t) : t.pixels();
      if (got != want) {
        std::size_t at = 0;
        while (got[at] == want[at]) ++at;
        ADD_FAILURE() << "seed " << seed << ", " << lanes << " lanes: pixel (" << at % w
                      << ", " << at / w << ") differs; vertices (" << q.p[0].x << ", " << q.p[0].y << ") ("
                      << q.p[1].x << ", " << q.p[1].y << ") (" << q.p[2].x << ", " << q.p[2].y
                      << ") (" << q.p[3].x << ", " << q.p[3].y << "), box [" << q.x0 << ", "
                      << q.x1 << ") x [" << q.y0 << ", " << q.y1 << "), rows [" << first << ", "
                      << last << ")";
        return;
      }
      ASSERT_TRUE(t.untouched_outside_pixels()) << "seed " << seed;
    }
  }
  printf("vector widths tested: 2 to %d lanes\n", widest_lanes());
  printf("%d quads filled: %ld pixels painted, %ld NaN edge values, %ld values within the "
         "tolerance (%ld exactly at it), %ld two-run rows; %ld wide slanted, %ld narrow "
         "slanted, %ld axis-aligned\n",
         filled, seen.painted, seen.nan_values, seen.within_tolerance, seen.at_tolerance,
         seen.two_span_rows, seen.wide_slanted, seen.narrow_slanted, seen.axis_aligned);
  // Without these the comparison would prove little.
  EXPECT_GT(seen.nan_values, 1000);
  EXPECT_GT(seen.within_tolerance, 1000);
  EXPECT_GT(seen.at_tolerance, 100);
  EXPECT_GT(seen.two_span_rows, 1000);
  EXPECT_GT(seen.wide_slanted, 5000);
  EXPECT_GT(seen.narrow_slanted, 5000);
  EXPECT_GT(seen.axis_aligned, 3000);
}

// Fills q into a fresh target at every vector width; a failure names `what`.
void expect_like_reference(const PreparedQuad& q, std::int32_t w, std::int32_t h, Seen& seen,
                           const std::string& what) {
  std::vector<std::uint32_t> want(static_cast<std::size_t>(w) * h, GuardedTarget::fill_colour());
  reference_fill(q, q.y0, q.y1, want, w, seen);
  for (const int lanes : lane_widths()) {
    GuardedTarget t(w, h);
    fill_quad(q, q.y0, q.y1, t.image(), lanes);
    ASSERT_EQ(t.pixels(), want) << what << ", " << lanes << " lanes";
  }
}

// expect_like_reference on targets laid out every way a caller's array
// may be: packed, rows padded and reversed, pixels 8 bytes apart, columns
// reversed (a negative column stride).
void expect_in_every_layout(const PreparedQuad& q, std::int32_t w, std::int32_t h, Seen& seen,
                            const std::string& what) {
  std::vector<std::uint32_t> want(static_cast<std::size_t>(w) * h, GuardedTarget::fill_colour());
  reference_fill(q, q.y0, q.y1, want, w, seen);
  const struct {
    std::int64_t row_pad;
    bool rows_reversed;
    std::int64_t col_stride;
    bool columns_reversed;
  } layouts[] = {{0, false, 4, false}, {3, true, 4, false}, {0, false, 8, false},
                 {0, false, 4, true},  {1, true, 8, true}};
  for (const auto& l : layouts)
    for (const int lanes : lane_widths()) {
      GuardedTarget t(w, h, l.row_pad, l.rows_reversed, l.col_stride);
      fill_quad(q, q.y0, q.y1, l.columns_reversed ? mirrored(t) : t.image(), lanes);
      ASSERT_EQ(l.columns_reversed ? mirrored_pixels(t) : t.pixels(), want)
          << what << ", " << lanes << " lanes, column stride "
          << (l.columns_reversed ? -l.col_stride : l.col_stride) << ", rows "
          << (l.rows_reversed ? "reversed" : "in order");
      ASSERT_TRUE(t.untouched_outside_pixels()) << what << ", " << lanes << " lanes";
    }
}

// Cells of rotated and sheared grids, as meshes seen up close bring them:
// every size from a pixel to a hundred, at many angles, placed anywhere,
// on pixel corners, or on pixel centres with edges along whole-pixel steps
// so that they pass through centre after centre.
TEST(SpanFill, RotatedAndShearedCellsOfManySizes) {
  const std::int32_t w = 240, h = 240;
  Seen seen;
  QuadMaker make(2024);
  const double sizes[] = {1.5, 3, 7, 9.5, 14, 28, 56, 113};
  const double degrees[] = {0, 3, 10, 30, 45, 60, 80, 90, 135};
  const double shears[] = {0, 0.3, -0.7};
  for (const double size : sizes)
    for (const double angle : degrees)
      for (const double shear : shears)
        for (int place = 0; place < 3; ++place) {
          const double t = angle * 3.14159265358979323846 / 180;
          const double ux = size * std::cos(t), uy = size * std::sin(t);
          const double vx = -uy + shear * ux, vy = ux + shear * uy;
          Point o{make.real(5, 60), make.real(5, 60)};
          if (place == 1) o = {std::round(o.x), std::round(o.y)};
          if (place == 2) o = {std::round(o.x) + 0.5, std::round(o.y) + 0.5};
          PreparedQuad q;
          q.p[0] = o;
          q.p[1] = {o.x + ux, o.y + uy};
          q.p[2] = {o.x + ux + vx, o.y + uy + vy};
          q.p[3] = {o.x + vx, o.y + vy};
          q.colour = pack_rgba(static_cast<std::uint8_t>(place), 40, 80, 255);
          make.any_box = false;
          if (!box_for(q, make, w, h)) continue;
          expect_like_reference(q, w, h, seen,
                                "size " + std::to_string(size) + ", " + std::to_string(angle) +
                                    " degrees, shear " + std::to_string(shear) + ", place " +
                                    std::to_string(place));
        }
  // Whole-pixel steps (p, q) from a pixel centre: the edges meet a centre
  // every q rows, for steep and shallow edges, either winding.
  const int steps[][2] = {{1, 1}, {2, 1}, {1, 2}, {3, 1}, {1, 3}, {5, 2}, {7, 3}, {1, 0}, {9, 1}};
  for (const auto& u : steps)
    for (const auto& v : steps)
      for (const int scale : {1, 3, 8})
        for (const bool reversed : {false, true}) {
          const double cx = 100.5, cy = 100.5;
          const double ux = scale * u[0], uy = scale * u[1], vx = -scale * v[1], vy = scale * v[0];
          PreparedQuad q;
          q.p[0] = {cx, cy};
          q.p[1] = {cx + ux, cy + uy};
          q.p[2] = {cx + ux + vx, cy + uy + vy};
          q.p[3] = {cx + vx, cy + vy};
          if (reversed) std::swap(q.p[1], q.p[3]);
          q.colour = pack_rgba(9, 9, static_cast<std::uint8_t>(scale), 255);
          make.any_box = false;
          if (!box_for(q, make, w, h)) continue;
          expect_like_reference(q, w, h, seen,
                                "steps (" + std::to_string(u[0]) + ", " + std::to_string(u[1]) +
                                    ") (" + std::to_string(v[0]) + ", " + std::to_string(v[1]) +
                                    ") x " + std::to_string(scale));
        }
  EXPECT_GT(seen.on_edge, 10000);
  EXPECT_GT(seen.painted, 500000);
}

// Boxes of every size up to 26 x 8 (past the widest narrow box), against
// each corner of the image so that they end on its last column or row: a
// sliver along either diagonal and a diamond touching all four sides, every
// row and a middle band of rows.
TEST(SpanFill, NarrowBoxesOfEverySizeAtTheImageCorners) {
  const std::int32_t w = 29, h = 10;
  Seen seen;
  for (std::int32_t bw = 1; bw <= 26; ++bw)
    for (std::int32_t bh = 1; bh <= 8; ++bh)
      for (int corner = 0; corner < 4; ++corner)
        for (int shape = 0; shape < 3; ++shape) {
          const double x0 = corner & 1 ? w - bw : 0, y0 = corner & 2 ? h - bh : 0;
          // Inset by less than a pixel, so the box stays bw x bh.
          const double l = x0 + 0.3, r = x0 + bw - 0.2, b = y0 + 0.1, t = y0 + bh - 0.4;
          const double mx = (l + r) / 2, my = (b + t) / 2, d = 0.35;
          PreparedQuad q;
          if (shape == 0) {  // along the rising diagonal
            q.p[0] = {l, b}, q.p[1] = {l + d, b}, q.p[2] = {r, t}, q.p[3] = {r - d, t};
          } else if (shape == 1) {  // along the falling one, wound the other way
            q.p[0] = {l, t}, q.p[1] = {r - d, b}, q.p[2] = {r, b}, q.p[3] = {l + d, t};
          } else {
            q.p[0] = {mx, b}, q.p[1] = {r, my}, q.p[2] = {mx, t}, q.p[3] = {l, my};
          }
          q.colour = pack_rgba(static_cast<std::uint8_t>(bw), static_cast<std::uint8_t>(bh),
                               static_cast<std::uint8_t>(shape), 255);
          q.x0 = static_cast<std::int32_t>(x0), q.x1 = q.x0 + bw;
          q.y0 = static_cast<std::int32_t>(y0), q.y1 = q.y0 + bh;
          const std::string what = std::to_string(bw) + " x " + std::to_string(bh) + ", corner " +
                                   std::to_string(corner) + ", shape " + std::to_string(shape);
          expect_like_reference(q, w, h, seen, what);
          // Rows [first, last) strictly inside the box.
          if (bh < 3) continue;
          std::vector<std::uint32_t> want(static_cast<std::size_t>(w) * h,
                                          GuardedTarget::fill_colour());
          reference_fill(q, q.y0 + 1, q.y1 - 1, want, w, seen);
          for (const int lanes : lane_widths()) {
            GuardedTarget t(w, h);
            fill_quad(q, q.y0 + 1, q.y1 - 1, t.image(), lanes);
            ASSERT_EQ(t.pixels(), want) << what << ", inner rows, " << lanes << " lanes";
          }
        }
  EXPECT_GT(seen.painted, 20000);
}

// One row's run of every length at every offset in boxes of every width up
// to 25, the boxes against the image's left edge, its right edge and in
// between: the run's stores must reach exactly its pixels. The quads' sides
// lean by a hair, so that the boxes take the narrow fill.
TEST(SpanFill, RunsOfEveryLengthAtEveryOffset) {
  const std::int32_t w = 30, h = 3;
  Seen seen;
  long runs = 0, pixels = 0;
  for (std::int32_t bw = 1; bw <= 25; ++bw)
    for (const std::int32_t x0 : {0, 2, w - bw})
      for (std::int32_t a = 0; a < bw; ++a)
        for (std::int32_t n = 1; a + n <= bw; ++n) {
          const double l = x0 + a + 0.2, r = x0 + a + n - 0.2;
          PreparedQuad q;
          q.p[0] = {l, 1.0}, q.p[1] = {r, 1.0}, q.p[2] = {r + 0.01, 2.0}, q.p[3] = {l + 0.01, 2.0};
          if ((a + n) & 1) std::swap(q.p[1], q.p[3]);
          q.colour = pack_rgba(static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(a), 1, 255);
          q.x0 = x0, q.x1 = x0 + bw, q.y0 = 0, q.y1 = h;
          expect_like_reference(q, w, h, seen,
                                "box " + std::to_string(bw) + " from column " + std::to_string(x0) +
                                    ", run of " + std::to_string(n) + " at " + std::to_string(a));
          ++runs;
          pixels += n;
        }
  // The reference painted each run whole and nothing else, on one row.
  EXPECT_EQ(seen.painted, pixels);
  EXPECT_EQ(seen.two_span_rows, 0);
  EXPECT_GT(runs, 8000);
}

// Quads larger than their box, the box cut out of the image's middle as a
// clip box cuts it: nothing may be written beyond the box's first and last
// columns, whatever the width, where the quad covers the box whole and
// where one of its edges crosses it.
TEST(SpanFill, BoxesCutByAClipBox) {
  const std::int32_t w = 40, h = 12;
  Seen seen;
  for (std::int32_t bw = 1; bw <= 26; ++bw)
    for (const std::int32_t x0 : {1, 7, w - bw - 1})
      for (int shape = 0; shape < 3; ++shape) {
        PreparedQuad q;
        if (shape == 0) {  // the whole box, turned a little
          q.p[0] = {-5, -3}, q.p[1] = {45, -1}, q.p[2] = {44, 15}, q.p[3] = {-6, 14};
        } else {  // an edge across the box, rising or falling
          const double mid = x0 + bw / 2.0 + 0.3;
          const double lean = shape == 1 ? 0.7 : -0.7;
          q.p[0] = {mid - 4 * lean, -1}, q.p[1] = {60, -1}, q.p[2] = {60, 13},
          q.p[3] = {mid + 10 * lean, 13};
        }
        q.colour = pack_rgba(static_cast<std::uint8_t>(bw), static_cast<std::uint8_t>(x0),
                             static_cast<std::uint8_t>(shape), 255);
        q.x0 = x0, q.x1 = x0 + bw, q.y0 = 2, q.y1 = 10;
        expect_in_every_layout(q, w, h, seen,
                               "box " + std::to_string(bw) + " from column " +
                                   std::to_string(x0) + ", shape " + std::to_string(shape));
      }
  EXPECT_GT(seen.painted, 5000);
}

// Degenerate quads whose rows hold two runs, the coverage mask not one
// block of bits. Finite edge values sum to twice the signed area on every
// centre, so that no real quad does this; edges whose vectors overflow do:
// vertices near the largest double make inf - inf and inf * 0, NaN values
// are neutral, and the remaining edges may leave opposite wedges covered.
// Boxes of every narrow width around them, in every layout.
TEST(SpanFill, TwoRunsOnARowOfANarrowBox) {
  const std::int32_t w = 30, h = 12;
  Seen seen;
  RandomPicks pick(25);
  for (std::int32_t bw = 3; bw <= 26; ++bw) {
    const long before = seen.two_span_rows;
    for (int n = 0; n < 200; ++n) {
      const double X = 2 + pick.integer(0, bw - 1) + pick.real(0, 1), Y = pick.integer(3, 8) + 0.5;
      const Point far[] = {{-kBig, Y},   {kBig, Y},   {X, -kBig},   {X, kBig},
                           {kBig, kBig}, {-kBig, kBig}, {-kBig, -kBig}, {kBig, -kBig}};
      PreparedQuad q;
      for (Point& v : q.p) v = pick.chance(0.6) ? far[pick.integer(0, 7)] : Point{X, Y};
      q.colour = pack_rgba(static_cast<std::uint8_t>(bw), static_cast<std::uint8_t>(n), 9, 255);
      q.x0 = 2, q.x1 = 2 + bw, q.y0 = 1, q.y1 = 11;
      expect_in_every_layout(q, w, h, seen,
                             "box " + std::to_string(bw) + ", quad " + std::to_string(n));
    }
    EXPECT_GT(seen.two_span_rows, before) << "box " << bw;
  }
}

// Every row of a quad spanning a wide image, at many tilts, including tilts
// whose crossings lie far beyond the box on most rows.
TEST(SpanFill, LongEdgesAtEveryTilt) {
  const std::int32_t w = 600, h = 6;
  for (int e = 0; e <= 60; ++e) {
    const double tilt = std::ldexp(1.0, -e);
    for (const double y : {2.0, 2.5, 2.5 + 1e-13, 3.0 - 1e-16}) {
      PreparedQuad q;
      q.p[0] = {-50.0, y};
      q.p[1] = {650.0, y + tilt};
      q.p[2] = {650.0, y + tilt + 1.5};
      q.p[3] = {-50.0, y + 1.5};
      q.colour = pack_rgba(1, 2, 3, 255);
      q.x0 = 0;
      q.x1 = w;
      q.y0 = 0;
      q.y1 = h;
      Seen seen;
      std::vector<std::uint32_t> want(static_cast<std::size_t>(w) * h,
                                      GuardedTarget::fill_colour());
      reference_fill(q, 0, h, want, w, seen);
      for (const int lanes : lane_widths()) {
        GuardedTarget t(w, h);
        fill_quad(q, 0, h, t.image(), lanes);
        ASSERT_EQ(t.pixels(), want) << "tilt 2^-" << e << ", y " << y << ", " << lanes << " lanes";
      }
    }
  }
}

// Rows where the edges bounding a row change: vertices on a row's pixel
// centres, just off them, and between rows; the side vertices' rows tested
// whole and cut into bands; either winding, convex and not, with edges from
// nearly level to nearly upright.
TEST(SpanFill, RowsWhereTheBoundingEdgesChange) {
  const std::int32_t w = 90, h = 90;
  Seen seen;
  QuadMaker make(77);
  const double offsets[] = {0.5, 0.0, 0.5 + 1e-13, 0.5 - 1e-13, 0.25};
  const double spreads[] = {1e-9, 0.01, 0.4, 3, 20, 40};
  for (const double off : offsets)
    for (const double spread : spreads)
      for (int shape = 0; shape < 6; ++shape) {
        // A kite around (45, 45): top and bottom vertices on whole rows plus
        // `off`, side vertices `spread` rows apart.
        const double top = 10 + off, bottom = 70 + off;
        const double left_y = 30 + off, right_y = left_y + spread;
        PreparedQuad q;
        q.p[0] = {45.25, top};
        q.p[1] = {80.0 - (shape == 4 ? 30 : 0), right_y};
        q.p[2] = {make.real(30, 60), bottom};
        q.p[3] = {5.0 + (shape == 5 ? 50 : 0), left_y};
        if (shape == 1 || shape == 3) std::swap(q.p[1], q.p[3]);
        if (shape >= 2) std::swap(q.p[0], q.p[shape == 2 ? 1 : 2]);
        q.colour = pack_rgba(static_cast<std::uint8_t>(shape), 5, 5, 255);
        make.any_box = false;
        if (!box_for(q, make, w, h)) continue;
        const std::string what = "offset " + std::to_string(off) + ", spread " +
                                 std::to_string(spread) + ", shape " + std::to_string(shape);
        expect_like_reference(q, w, h, seen, what);
        // Bands that start and end on the vertices' rows.
        for (const std::int32_t cut : {30, 31, 40}) {
          std::vector<std::uint32_t> want(static_cast<std::size_t>(w) * h,
                                          GuardedTarget::fill_colour());
          reference_fill(q, cut, q.y1, want, w, seen);
          GuardedTarget t(w, h);
          fill_quad(q, cut, q.y1, t.image());
          ASSERT_EQ(t.pixels(), want) << what << ", from row " << cut;
        }
      }
  EXPECT_GT(seen.within_tolerance + seen.on_edge, 100);
}

// Long runs in an image of 32 MiB and more take another store path; rows
// that are not 4-byte aligned, or pixels wider than 4 bytes, must not.
TEST(SpanFill, LongRunsInALargeImage) {
  const std::int32_t w = 4100, h = 2050;
  const struct {
    std::int64_t row_pad, col_stride;
  } layouts[] = {{0, 4}, {1, 4}, {6, 4}, {0, 8}};
  for (const auto& layout : layouts) {
    // Wider pixels reach the size with fewer rows.
    GuardedTarget t(w, layout.col_stride == 8 ? 1030 : h, layout.row_pad, false,
                    layout.col_stride);
    const std::int32_t rows = t.height();
    std::vector<std::uint32_t> want = t.pixels();
    QuadMaker make(static_cast<std::uint64_t>(layout.row_pad * 10 + layout.col_stride));
    Seen seen;
    for (int n = 0; n < 40; ++n) {
      PreparedQuad q;
      const double x = make.real(-50, w - 100), y = make.real(-5, rows - 30);
      const double len = make.real(60, 700), thick = make.real(1, 25);
      const double tilt = make.real(-0.05, 0.05);
      if (n % 2 == 0) {  // along rows, ends anywhere in a line
        q.p[0] = {x, y};
        q.p[1] = {x + len, y};
        q.p[2] = {x + len, y + thick};
        q.p[3] = {x, y + thick};
      } else {
        q.p[0] = {x, y};
        q.p[1] = {x + len, y + tilt * len};
        q.p[2] = {x + len + 3, y + tilt * len + thick};
        q.p[3] = {x - 2, y + thick};
      }
      q.colour = pack_rgba(static_cast<std::uint8_t>(n), 99, 7, 255);
      if (!box_for(q, make, w, rows)) continue;
      reference_fill(q, q.y0, q.y1, want, w, seen);
      fill_quad(q, q.y0, q.y1, t.image());
    }
    ASSERT_GT(seen.painted, 100000);
    ASSERT_EQ(t.pixels(), want) << "row pad " << layout.row_pad << ", column stride "
                                << layout.col_stride;
    ASSERT_TRUE(t.untouched_outside_pixels());
  }
}

}  // namespace
}  // namespace quadlite
