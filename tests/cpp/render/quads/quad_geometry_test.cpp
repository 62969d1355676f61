// The vectorised per-quad steps against the scalar definitions.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "reference/reference_passes.hpp"
#include "render/quads/check_pass.hpp"
#include "render/quads/quad_geometry.hpp"

namespace quadlite {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Clamp to [0, 1] (NaN as 0), scale by 255, round half away from zero.
std::uint8_t byte_by_lround(double v) {
  if (std::isnan(v)) return 0;
  return static_cast<std::uint8_t>(std::lround(std::min(std::max(v, 0.0), 1.0) * 255.0));
}

std::vector<double> colour_components() {
  std::vector<double> out = {kNaN, kInf, -kInf, 0.0, -0.0, 1.0, -1.0, 2.0, 1e-300, -1e-300,
                             0.5, 1.0 - 1e-16, std::nextafter(1.0, 2.0)};
  for (int k = 0; k <= 255; ++k) {
    for (const double at : {k / 255.0, (k + 0.5) / 255.0}) {
      double v = at;
      for (int step = 0; step < 4; ++step) v = std::nextafter(v, -1.0);
      for (int step = 0; step < 9; ++step, v = std::nextafter(v, 2.0)) out.push_back(v);
    }
  }
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> any(-0.3, 1.3);
  for (int k = 0; k < 200000; ++k) out.push_back(any(rng));
  return out;
}

TEST(Colour, ByteRoundsHalfAwayLikeLround) {
  for (const double v : colour_components()) ASSERT_EQ(colour_byte(v), byte_by_lround(v)) << v;
}

TEST(Colour, PackedColourMatchesTheScalarBytes) {
  const std::vector<double> values = colour_components();
  for (std::size_t k = 0; k + 2 < values.size(); k += 1) {
    const double rgba[4] = {values[k], values[(k * 7 + 1) % values.size()],
                            values[(k * 13 + 2) % values.size()], 1.0};
    ASSERT_EQ(packed_colour(rgba),
              pack_rgba(colour_byte(rgba[0]), colour_byte(rgba[1]), colour_byte(rgba[2]), 255))
        << rgba[0] << " " << rgba[1] << " " << rgba[2];
  }
}

std::vector<double> coordinates() {
  const double two31 = 2147483648.0;
  std::vector<double> out = {0.0, -0.0, 0.5, -0.5, 1e-300, -1e-300, 1e300, -1e300,
                             std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
                             kInf, -kInf};
  for (const double at : {two31, -two31, two31 - 1, -two31 - 1, two31 - 0.5, -two31 + 0.5,
                          -two31 - 0.5, 7.0, -7.0, 1e15 + 0.5}) {
    double v = at;
    for (int step = 0; step < 3; ++step) v = std::nextafter(v, -kInf);
    for (int step = 0; step < 7; ++step, v = std::nextafter(v, kInf)) out.push_back(v);
  }
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> near(-300, 300);
  for (int k = 0; k < 3000; ++k) out.push_back(near(rng));
  for (int k = 0; k < 3000; ++k) out.push_back(std::round(near(rng)) * 0.5);
  return out;
}

TEST(PixelBox, MatchesFloorAndCeilBoundsClampedToTheClip) {
  const std::vector<double> v = coordinates();
  const ClipBox clips[] = {{0, 100, 0, 100}, {INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX},
                           {-5, 3, 2, 2000000000}};
  std::mt19937_64 rng(3);
  std::uniform_int_distribution<std::size_t> pick(0, v.size() - 1);
  for (int k = 0; k < 200000; ++k) {
    F64x2 p[4];
    double lo_x = kInf, hi_x = -kInf, lo_y = kInf, hi_y = -kInf;
    for (F64x2& q : p) {
      q = F64x2{v[pick(rng)], v[pick(rng)]};
      lo_x = std::min(lo_x, q[0]);
      hi_x = std::max(hi_x, q[0]);
      lo_y = std::min(lo_y, q[1]);
      hi_y = std::max(hi_y, q[1]);
    }
    const ClipBox& clip = clips[k % 3];
    PreparedQuad got;
    const bool nonempty = box_of(p, clip, got);
    const std::int32_t x0 = std::max(clip.x0, lower_bound_px(lo_x));
    const std::int32_t x1 = std::min(upper_bound_px(hi_x), clip.x1);
    const std::int32_t y0 = std::max(clip.y0, lower_bound_px(lo_y));
    const std::int32_t y1 = std::min(upper_bound_px(hi_y), clip.y1);
    ASSERT_EQ(nonempty, x0 < x1 && y0 < y1);
    ASSERT_EQ(got.x0, x0) << lo_x;
    ASSERT_EQ(got.x1, x1) << hi_x;
    ASSERT_EQ(got.y0, y0) << lo_y;
    ASSERT_EQ(got.y1, y1) << hi_y;
  }
}

TEST(Convexity, AgreeingTurnsImplyConvex) {
  std::mt19937_64 rng(4);
  std::uniform_real_distribution<double> any(-10, 10);
  const std::vector<double> grid = {0, 1, 2, 1e-300, 1e300, -1e300};
  int agreeing = 0, not_agreeing = 0;
  for (int k = 0; k < 300000; ++k) {
    F64x2 v[4];
    Point p[4];
    for (int i = 0; i < 4; ++i) {
      v[i] = k % 3 == 0 ? F64x2{grid[rng() % grid.size()], grid[rng() % grid.size()]}
                        : F64x2{any(rng), any(rng)};
      p[i] = {v[i][0], v[i][1]};
    }
    if (turns_agree(v)) {
      ++agreeing;
      ASSERT_TRUE(quad_is_convex(p)) << k;
    } else {
      ++not_agreeing;
    }
  }
  EXPECT_GT(agreeing, 50000);
  EXPECT_GT(not_agreeing, 50000);
}

TEST(Convexity, GridRectanglesAreConvexInTheirOrder) {
  std::mt19937_64 rng(8);
  const std::vector<double> values = {0, -0.0, 1, -1, 0.5, 1e300, -1e300, 1.7e308, -1.7e308,
                                      1e-300, 3, 3, 7};
  std::uniform_real_distribution<double> any(-100, 100);
  int rectangles = 0;
  for (int k = 0; k < 200000; ++k) {
    const auto pick = [&] { return k % 2 ? values[rng() % values.size()] : any(rng); };
    const double x0 = pick(), x1 = pick(), y0 = pick(), y1 = pick();
    // Grid cell order: P0 (x0, y0), P1 (x0, y1), P2 (x1, y1), P3 (x1, y0).
    F64x2 v[4] = {{x0, y0}, {x0, y1}, {x1, y1}, {x1, y0}};
    if (k % 5 == 0) v[rng() % 4][rng() % 2] = pick();  // most no longer a rectangle
    Point p[4];
    for (int i = 0; i < 4; ++i) p[i] = {v[i][0], v[i][1]};
    if (axis_aligned_rectangle(v)) {
      ++rectangles;
      ASSERT_TRUE(turns_agree(v)) << k;
      ASSERT_TRUE(quad_is_convex(p)) << k;
    }
  }
  EXPECT_GT(rectangles, 150000);
}

}  // namespace
}  // namespace quadlite
