#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "render/quads/fill_pass.hpp"
#include "support/render_test_support.hpp"

namespace quadlite {
namespace {

using testing_support::GuardedTarget;

const std::uint32_t kRed = pack_rgba(255, 0, 0, 255);
const std::uint32_t kGreen = pack_rgba(0, 255, 0, 255);
const std::uint32_t kBlue = pack_rgba(0, 0, 255, 255);

// A prepared quad with the box of its vertices (no clipping).
PreparedQuad quad(const std::vector<Point>& p, std::uint32_t colour) {
  PreparedQuad q;
  double x0 = p[0].x, x1 = p[0].x, y0 = p[0].y, y1 = p[0].y;
  for (int k = 0; k < 4; ++k) {
    q.p[k] = p[k];
    x0 = std::fmin(x0, p[k].x);
    x1 = std::fmax(x1, p[k].x);
    y0 = std::fmin(y0, p[k].y);
    y1 = std::fmax(y1, p[k].y);
  }
  q.colour = colour;
  q.x0 = lower_bound_px(x0);
  q.x1 = upper_bound_px(x1);
  q.y0 = lower_bound_px(y0);
  q.y1 = upper_bound_px(y1);
  return q;
}

std::vector<Point> reversed(std::vector<Point> p) { return {p[3], p[2], p[1], p[0]}; }

void fill_everything(const std::vector<QuadList>& lists, GuardedTarget& t,
                     std::uint64_t bands = 1) {
  testing_support::fill_all(lists, testing_support::whole(t), bands, t.image());
}

// Device pixels whose colour is `colour`, as (x, y) pairs.
std::vector<std::pair<int, int>> pixels_of(const GuardedTarget& t, std::uint32_t colour) {
  std::vector<std::pair<int, int>> out;
  for (int y = 0; y < t.height(); ++y)
    for (int x = 0; x < t.width(); ++x)
      if (t.pixel(x, y) == colour) out.emplace_back(x, y);
  return out;
}

// ---- Coverage rule ----------------------------------------------------------

TEST(Covers, EdgeRuleTable) {
  // Counter-clockwise square [1,3] x [1,3]; each case is also tried clockwise.
  const std::vector<Point> square = {{1, 1}, {3, 1}, {3, 3}, {1, 3}};
  const struct {
    const char* name;
    double x, y;
    bool covered;
  } cases[] = {
      {"inside", 2, 2, true},
      {"on an edge", 1, 2, true},
      {"on a vertex", 3, 3, true},
      {"outside", 0.5, 2, false},
      {"outside beyond a corner", 3.5, 3.5, false},
      // The edges are 2 long, so a distance d gives an edge value of 2d.
      {"outside within tolerance", 1 - 4e-13, 2, true},
      {"outside just beyond tolerance", 1 - 6e-13, 2, false},
      {"outside past a far edge within tolerance", 2, 3 + 4e-13, true},
      {"outside past a far edge beyond tolerance", 2, 3 + 6e-13, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(covers(square.data(), c.x, c.y), c.covered) << c.name;
    EXPECT_EQ(covers(reversed(square).data(), c.x, c.y), c.covered) << c.name << ", clockwise";
  }
}

TEST(Covers, ExactlyAtTheToleranceIsNeutral) {
  // The left edge of the unit square has value exactly -+1e-12 at x = -1e-12
  // (counter-clockwise, clockwise); the other three are clearly inside.
  const std::vector<Point> ccw = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
  for (const auto& p : {ccw, reversed(ccw)}) {
    EXPECT_TRUE(covers(p.data(), -1e-12, 0.5));
    EXPECT_FALSE(covers(p.data(), -1.5e-12, 0.5));
  }
}

TEST(Covers, DegenerateQuads) {
  const std::vector<Point> point = {{2.3, 3.7}, {2.3, 3.7}, {2.3, 3.7}, {2.3, 3.7}};
  EXPECT_TRUE(covers(point.data(), 100.5, -7.5));  // all edge values are zero

  const std::vector<Point> line = {{0.5, 0.5}, {4.5, 4.5}, {4.5, 4.5}, {0.5, 0.5}};
  EXPECT_TRUE(covers(line.data(), 2.5, 2.5));
  EXPECT_TRUE(covers(line.data(), 7.5, 7.5));  // on the line, the box limits it
  EXPECT_FALSE(covers(line.data(), 2.5, 3.5));

  // Overflowing edge values: infinity has a sign, NaN is neutral. The
  // bottom edge's vector is (inf, 0): on its line its value is inf * 0.
  const std::vector<Point> wide = {{-1e308, 0}, {1e308, 0}, {1e308, 1}, {-1e308, 1}};
  EXPECT_TRUE(covers(wide.data(), 0.5, 0.5));
  EXPECT_TRUE(covers(wide.data(), 0.5, 0.0));
  EXPECT_FALSE(covers(wide.data(), 0.5, -0.5));
  EXPECT_FALSE(covers(wide.data(), 0.5, 1.5));
}

// ---- Fill of single quads ----------------------------------------------------

TEST(FillBand, PixelCentresOnTheEdgesAreCovered) {
  GuardedTarget t(8, 8);
  fill_everything({{quad({{1.5, 1.5}, {4.5, 1.5}, {4.5, 4.5}, {1.5, 4.5}}, kRed)}}, t);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      const bool inside = x >= 1 && x <= 4 && y >= 1 && y <= 4;
      EXPECT_EQ(t.pixel(x, y), inside ? kRed : GuardedTarget::fill_colour()) << x << "," << y;
    }
  EXPECT_TRUE(t.untouched_outside_pixels());
}

TEST(FillBand, ToleranceAroundAnEdge) {
  // Left edge at x = 0.5 + d, running downwards: its value at centre (0.5, 0.5)
  // is about -d, against +-1e-12.
  const struct {
    double d;
    bool covered;
  } cases[] = {{0, true}, {5e-13, true}, {-5e-13, true}, {2e-12, false}, {-2e-12, true}};
  for (const auto& c : cases) {
    GuardedTarget t(4, 1);
    const double xl = 0.5 + c.d;
    PreparedQuad q = quad({{xl, 0}, {3, 0}, {3, 1}, {xl, 1}}, kRed);
    q.x0 = 0;
    fill_everything({{q}}, t);
    EXPECT_EQ(t.pixel(0, 0) == kRed, c.covered) << "d = " << c.d;
    EXPECT_EQ(t.pixel(1, 0), kRed);
  }
}

TEST(FillBand, ClockwiseAndCounterClockwiseFillTheSame) {
  // Diamond around (5, 5): centres with |x - 5| + |y - 5| <= 4 are covered.
  const std::vector<Point> ccw = {{5, 1}, {9, 5}, {5, 9}, {1, 5}};
  for (const auto& p : {ccw, reversed(ccw)}) {
    GuardedTarget t(11, 11);
    fill_everything({{quad(p, kGreen)}}, t);
    for (int y = 0; y < 11; ++y)
      for (int x = 0; x < 11; ++x) {
        const bool inside = std::fabs(x + 0.5 - 5) + std::fabs(y + 0.5 - 5) <= 4;
        EXPECT_EQ(t.pixel(x, y) == kGreen, inside) << x << "," << y;
      }
  }
}

TEST(FillBand, CoveredPixelsGetAllFourBytesOthersKeepTheirs) {
  GuardedTarget t(6, 6);
  // A triangle (doubled vertex): its box holds uncovered pixels too.
  const PreparedQuad q = quad({{0, 0}, {6, 0}, {6, 0}, {0, 6}}, pack_rgba(10, 20, 30, 255));
  fill_everything({{q}}, t);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 6; ++x) {
      const bool inside = (x + 0.5) + (y + 0.5) <= 6;
      EXPECT_EQ(t.pixel(x, y), inside ? q.colour : GuardedTarget::fill_colour()) << x << "," << y;
    }
}

TEST(FillBand, DegenerateQuadsPaintOnlyWhatTheRuleCovers) {
  GuardedTarget t(8, 8);
  fill_everything({{quad({{2.3, 3.7}, {2.3, 3.7}, {2.3, 3.7}, {2.3, 3.7}}, kRed)}}, t);
  EXPECT_EQ(pixels_of(t, kRed), (std::vector<std::pair<int, int>>{{2, 3}}));

  GuardedTarget u(8, 8);
  fill_everything({{quad({{0.5, 0.5}, {4.5, 4.5}, {4.5, 4.5}, {0.5, 0.5}}, kBlue)}}, u);
  EXPECT_EQ(pixels_of(u, kBlue),
            (std::vector<std::pair<int, int>>{{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}}));
}

TEST(FillBand, OnlyTheBoxIsScanned) {
  // Vertices far outside a box clipped to [2,5) x [1,3).
  GuardedTarget t(8, 6);
  PreparedQuad q = quad({{-100, -100}, {100, -100}, {100, 100}, {-100, 100}}, kRed);
  q.x0 = 2;
  q.x1 = 5;
  q.y0 = 1;
  q.y1 = 3;
  fill_everything({{q}}, t);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) {
      const bool inside = x >= 2 && x < 5 && y >= 1 && y < 3;
      EXPECT_EQ(t.pixel(x, y) == kRed, inside) << x << "," << y;
    }
  EXPECT_TRUE(t.untouched_outside_pixels());
}

// ---- Painter's order -----------------------------------------------------------

TEST(FillBand, LaterQuadWinsOnASharedEdge) {
  // Column 2's centres lie on the edge x = 2.5 that both squares share.
  const PreparedQuad a = quad({{0.5, 0.5}, {2.5, 0.5}, {2.5, 3.5}, {0.5, 3.5}}, kRed);
  const PreparedQuad b = quad({{2.5, 0.5}, {4.5, 0.5}, {4.5, 3.5}, {2.5, 3.5}}, kBlue);
  const struct {
    std::vector<QuadList> lists;
    std::uint32_t winner;
  } cases[] = {
      {{{a, b}}, kBlue},
      {{{b, a}}, kRed},
      {{{a}, {}, {b}}, kBlue},
      {{{b}, {a}}, kRed},
  };
  for (const auto& c : cases) {
    for (std::uint64_t bands : {1u, 2u, 5u}) {
      GuardedTarget t(6, 5);
      fill_everything(c.lists, t, bands);
      for (int y = 1; y <= 3; ++y) {
        EXPECT_EQ(t.pixel(0, y), kRed);
        EXPECT_EQ(t.pixel(1, y), kRed);
        EXPECT_EQ(t.pixel(2, y), c.winner);
        EXPECT_EQ(t.pixel(3, y), kBlue);
        EXPECT_EQ(t.pixel(4, y), kBlue);
      }
    }
  }
}

TEST(FillBand, ListsAreWalkedInOrder) {
  // Nested squares from lists {0, 2}, {}, {5}: each later one paints a
  // smaller square on top, so all three stay visible.
  const PreparedQuad q0 = quad({{0, 0}, {9, 0}, {9, 9}, {0, 9}}, kRed);
  const PreparedQuad q2 = quad({{2, 2}, {7, 2}, {7, 7}, {2, 7}}, kGreen);
  const PreparedQuad q5 = quad({{4, 4}, {5, 4}, {5, 5}, {4, 5}}, kBlue);
  GuardedTarget t(9, 9);
  fill_everything({{q0, q2}, {}, {q5}}, t, 3);
  EXPECT_EQ(t.pixel(0, 0), kRed);
  EXPECT_EQ(t.pixel(2, 6), kGreen);
  EXPECT_EQ(t.pixel(4, 4), kBlue);
  EXPECT_EQ(pixels_of(t, kBlue).size(), 1u);
  EXPECT_EQ(pixels_of(t, kGreen).size(), 24u);
  EXPECT_EQ(pixels_of(t, kRed).size(), 56u);
}

// ---- Addressing: row flip and strides ---------------------------------------

TEST(FillBand, DeviceRowZeroIsTheLastBufferRow) {
  // A plain, tightly packed 3 x 4 buffer read back by hand.
  const int w = 3, h = 4;
  std::vector<std::uint8_t> buffer(w * h * 4, 0);
  TargetImage image;
  image.data = buffer.data();
  image.height = h;
  image.width = w;
  image.row_stride = w * 4;
  image.col_stride = 4;
  const std::vector<QuadList> lists = {
      {quad({{1, 0}, {2, 0}, {2, 1}, {1, 1}}, pack_rgba(1, 2, 3, 255)),     // device row 0
       quad({{0, 3}, {1, 3}, {1, 4}, {0, 4}}, pack_rgba(4, 5, 6, 255))}};   // device row 3
  fill_records_band(lists, 0, h, 0, 1, image);
  std::vector<std::uint8_t> expected(w * h * 4, 0);
  const std::uint8_t bottom[4] = {1, 2, 3, 255}, top[4] = {4, 5, 6, 255};
  std::memcpy(&expected[(3 * w + 1) * 4], bottom, 4);  // buffer row 3, column 1
  std::memcpy(&expected[(0 * w + 0) * 4], top, 4);     // buffer row 0, column 0
  EXPECT_EQ(buffer, expected);
}

TEST(FillBand, StridedLayoutsHoldTheSameImage) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> coord(-3, 33);
  std::vector<QuadList> lists(3);
  // Boxes 6, 14 and 22 columns wide, through every narrow kernel and the
  // span fill, many of them cut by the image's edges.
  const double scales[] = {1.0, 2.6, 4.2};
  for (int k = 0; k < 60; ++k) {
    const double f = scales[k % 3];
    std::vector<Point> p = {{coord(rng), coord(rng)}, {0, 0}, {0, 0}, {0, 0}};
    p[1] = {p[0].x + 4 * f, p[0].y};
    p[2] = {p[0].x + 5 * f, p[0].y + 3};
    p[3] = {p[0].x, p[0].y + 2};
    PreparedQuad q = quad(p, pack_rgba(k, 2 * k, 255 - k, 255));
    // Clip to the 30 x 17 image as the prepare pass would.
    q.x0 = std::max(q.x0, 0);
    q.y0 = std::max(q.y0, 0);
    q.x1 = std::min(q.x1, 30);
    q.y1 = std::min(q.y1, 17);
    if (q.x0 < q.x1 && q.y0 < q.y1) lists[k % 3].push_back(q);
  }
  GuardedTarget plain(30, 17);
  fill_everything(lists, plain);
  const struct {
    std::int64_t pad;
    bool reversed;
    std::int64_t col_stride;
  } layouts[] = {{12, false, 4}, {0, true, 4}, {5, true, 4}, {3, false, 8}, {0, true, 12}};
  for (const auto& l : layouts) {
    GuardedTarget t(30, 17, l.pad, l.reversed, l.col_stride);
    fill_everything(lists, t, 4);
    EXPECT_EQ(t.pixels(), plain.pixels());
    EXPECT_TRUE(t.untouched_outside_pixels());
  }
}

// ---- Bands ---------------------------------------------------------------------

TEST(FillBand, BandsSplitTheClipRows) {
  struct Case {
    std::int32_t rows;
    std::uint64_t bands;
    std::vector<std::pair<int, int>> offsets;  // [first, last) per band
  };
  const Case cases[] = {
      {10, 4, {{0, 2}, {2, 5}, {5, 7}, {7, 10}}},
      {5, 2, {{0, 2}, {2, 5}}},
      {2, 3, {{0, 0}, {0, 1}, {1, 2}}},
      {3, 1, {{0, 3}}},
  };
  const std::int32_t clip_y0 = 3;
  const PreparedQuad q = quad({{0, 0}, {2, 0}, {2, 20}, {0, 20}}, kRed);
  for (const Case& c : cases) {
    for (std::uint64_t a = 0; a < c.bands; ++a) {
      GuardedTarget t(2, 20);
      fill_records_band({{q}}, clip_y0, c.rows, a, c.bands, t.image());
      for (int y = 0; y < 20; ++y) {
        const bool in_band =
            y >= clip_y0 + c.offsets[a].first && y < clip_y0 + c.offsets[a].second;
        EXPECT_EQ(t.pixel(1, y) == kRed, in_band)
            << c.rows << " rows over " << c.bands << ", band " << a << ", row " << y;
      }
    }
  }
}

TEST(FillBand, NoRowsOrNoBandsWriteNothing) {
  const PreparedQuad q = quad({{0, 0}, {4, 0}, {4, 4}, {0, 4}}, kRed);
  const struct {
    std::int32_t rows;
    std::uint64_t band, bands;
  } cases[] = {{0, 0, 1}, {-5, 0, 1}, {4, 0, 0}, {4, 1, 1}, {4, 7, 3}};
  for (const auto& c : cases) {
    GuardedTarget t(4, 4);
    fill_records_band({{q}}, 0, c.rows, c.band, c.bands, t.image());
    EXPECT_TRUE(pixels_of(t, kRed).empty()) << c.rows << " " << c.band << "/" << c.bands;
  }
}

TEST(FillBand, AnyBandCountGivesTheSameImage) {
  std::vector<QuadList> lists(2);
  lists[0].push_back(quad({{0.2, 0.3}, {13.9, 2.1}, {12.5, 16.7}, {1.1, 11.0}}, kRed));
  lists[1].push_back(quad({{5.5, -0.0}, {9.25, 4.0}, {5.5, 14.0}, {3.0, 4.0}}, kGreen));
  lists[1].push_back(quad({{7, 7}, {9, 7}, {9, 9}, {7, 9}}, kBlue));
  GuardedTarget one(14, 17);
  fill_everything(lists, one, 1);
  for (std::uint64_t bands = 2; bands <= 17; ++bands) {
    GuardedTarget t(14, 17);
    fill_everything(lists, t, bands);
    EXPECT_EQ(t.pixels(), one.pixels()) << bands << " bands";
  }
}

}  // namespace
}  // namespace quadlite
