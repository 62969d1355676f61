#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "reference/reference_passes.hpp"
#include "render/quads/check_pass.hpp"
#include "render/quads/fill_pass.hpp"
#include "support/render_test_support.hpp"

namespace quadlite {
namespace {

using testing_support::GuardedTarget;
using testing_support::single_quad;
using testing_support::TestMesh;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const ClipBox kWideClip{0, 100, 0, 100};

struct Prepared {
  QuadList quads;
  bool all_finite;
};

Prepared prepare_one_task(const TestMesh& mesh, const ClipBox& clip = kWideClip,
                          std::uint64_t task = 0, std::uint64_t tasks = 1) {
  Prepared r;
  std::atomic<bool> finite{true};
  prepare_task(mesh.view(), clip, task, tasks, r.quads, finite);
  r.all_finite = finite.load();
  return r;
}

void expect_points(const Point* got, const std::vector<Point>& want) {
  for (std::size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(got[k].x, want[k].x) << "vertex " << k;
    EXPECT_EQ(got[k].y, want[k].y) << "vertex " << k;
  }
}

// A row of W unit cells [c, c+1] x [0, 1], cell c coloured by row c.
TestMesh unit_row(std::uint64_t w) {
  TestMesh m(w, 1);
  for (std::uint64_t c = 0; c <= w; ++c) {
    m.set_node(0, c, static_cast<double>(c), 0);
    m.set_node(1, c, static_cast<double>(c), 1);
  }
  for (std::uint64_t c = 0; c < w; ++c) m.add_colour(static_cast<double>(c) / 255.0, 0, 0, 1);
  return m;
}

// Quad index of a cell of unit_row, read back from its box.
std::vector<int> cells_of(const QuadList& quads) {
  std::vector<int> cells;
  for (const PreparedQuad& q : quads) cells.push_back(q.x0);
  return cells;
}

// ---- Convexity test -------------------------------------------------------

struct ConvexCase {
  const char* name;
  Point p[4];
  bool convex;
};

TEST(QuadIsConvex, Table) {
  const ConvexCase cases[] = {
      {"unit square, clockwise", {{0, 0}, {0, 1}, {1, 1}, {1, 0}}, true},
      {"unit square, counter-clockwise", {{0, 0}, {1, 0}, {1, 1}, {0, 1}}, true},
      {"bow-tie", {{0, 0}, {10, 10}, {10, 0}, {0, 10}}, false},
      {"arrowhead", {{0, 0}, {4, 1}, {8, 0}, {4, 8}}, false},
      {"four equal vertices", {{3, 4}, {3, 4}, {3, 4}, {3, 4}}, true},
      {"collinear", {{0, 0}, {1, 1}, {5, 5}, {2, 2}}, true},
      {"sliver at x = 7", {{7, 1}, {7, 5}, {7, 5}, {7, 1}}, true},
      {"triangle with a doubled vertex", {{0, 0}, {4, 0}, {4, 0}, {0, 3}}, true},
      // The dent's turn is -1000*e against tau = 1.25e6 * 2^-20 ~ 1.19.
      {"dent within tolerance", {{0, 0}, {500, 1e-3}, {1000, 0}, {500, 1000}}, true},
      {"dent beyond tolerance", {{0, 0}, {500, 1e-2}, {1000, 0}, {500, 1000}}, false},
      {"dent just beyond tolerance", {{0, 0}, {500, 1.3e-3}, {1000, 0}, {500, 1000}}, false},
  };
  for (const ConvexCase& c : cases) {
    EXPECT_EQ(quad_is_convex(c.p), c.convex) << c.name;
    // The test does not depend on winding or on the starting vertex.
    const Point reversed[4] = {c.p[3], c.p[2], c.p[1], c.p[0]};
    EXPECT_EQ(quad_is_convex(reversed), c.convex) << c.name << " reversed";
    const Point rotated[4] = {c.p[1], c.p[2], c.p[3], c.p[0]};
    EXPECT_EQ(quad_is_convex(rotated), c.convex) << c.name << " rotated";
  }
}

TEST(QuadIsConvex, ToleranceScalesWithTheQuad) {
  const Point base[4] = {{0, 0}, {500, 1e-3}, {1000, 0}, {500, 1000}};
  const Point dented[4] = {{0, 0}, {500, 1e-2}, {1000, 0}, {500, 1000}};
  for (int e : {-40, -20, 0, 20, 40}) {
    Point a[4], b[4];
    for (int k = 0; k < 4; ++k) {
      a[k] = {std::ldexp(base[k].x, e), std::ldexp(base[k].y, e)};
      b[k] = {std::ldexp(dented[k].x, e), std::ldexp(dented[k].y, e)};
    }
    EXPECT_TRUE(quad_is_convex(a)) << "scale 2^" << e;
    EXPECT_FALSE(quad_is_convex(b)) << "scale 2^" << e;
  }
}

// ---- Sort around the centroid ---------------------------------------------

TEST(SortAroundCentroid, WorkedExamples) {
  struct Case {
    const char* name;
    Point in[4];
    std::vector<Point> out;
  };
  const Case cases[] = {
      {"bow-tie becomes its outline",
       {{0, 0}, {10, 10}, {10, 0}, {0, 10}},
       {{0, 0}, {10, 0}, {10, 10}, {0, 10}}},
      {"arrowhead keeps its order",
       {{0, 0}, {4, 1}, {8, 0}, {4, 8}},
       {{0, 0}, {4, 1}, {8, 0}, {4, 8}}},
      {"clockwise square turns counter-clockwise from the lower left",
       {{1, 1}, {0, 1}, {0, 0}, {1, 0}},
       {{0, 0}, {1, 0}, {1, 1}, {0, 1}}},
      // atan2(+0, negative) is pi: the negative x axis sorts last.
      {"negative x axis last",
       {{-2, 0}, {0, -1}, {2, 0}, {0, 1}},
       {{0, -1}, {2, 0}, {0, 1}, {-2, 0}}},
      // (1,0) and (2,0) share angle 0 around the centroid (0,0).
      {"equal angles: nearer first",
       {{2, 0}, {1, 0}, {-1, 1}, {-2, -1}},
       {{-2, -1}, {1, 0}, {2, 0}, {-1, 1}}},
  };
  for (const Case& c : cases) {
    Point p[4] = {c.in[0], c.in[1], c.in[2], c.in[3]};
    sort_around_centroid(p);
    SCOPED_TRACE(c.name);
    expect_points(p, c.out);
  }
}

TEST(SortAroundCentroid, EqualVerticesKeepTheirOrder) {
  // (1, +0) and (1, -0) compare equal in angle (+-0) and distance; only the
  // sign of zero tells them apart.
  for (const bool plus_first : {true, false}) {
    const double first = plus_first ? 0.0 : -0.0, second = plus_first ? -0.0 : 0.0;
    Point p[4] = {{1, first}, {-1, 1}, {1, second}, {-1, -1}};
    sort_around_centroid(p);
    expect_points(p, {{-1, -1}, {1, 0}, {1, 0}, {-1, 1}});
    EXPECT_EQ(std::signbit(p[1].y), std::signbit(first)) << plus_first;
    EXPECT_EQ(std::signbit(p[2].y), std::signbit(second)) << plus_first;
  }
}

// ---- Worked examples through the whole pass -------------------------------

TEST(PreparePass, UnitSquareKeepsItsClockwiseOrder) {
  const Point p[4] = {{0, 0}, {0, 1}, {1, 1}, {1, 0}};
  const Prepared r = prepare_one_task(single_quad(p));
  ASSERT_TRUE(r.all_finite);
  ASSERT_EQ(r.quads.size(), 1u);
  expect_points(r.quads[0].p, {p[0], p[1], p[2], p[3]});
  EXPECT_EQ(r.quads[0].x0, 0);
  EXPECT_EQ(r.quads[0].x1, 1);
  EXPECT_EQ(r.quads[0].y0, 0);
  EXPECT_EQ(r.quads[0].y1, 1);
}

TEST(PreparePass, BowTieIsStoredAsItsOutline) {
  const Prepared r = prepare_one_task(single_quad({{0, 0}, {10, 10}, {10, 0}, {0, 10}}));
  ASSERT_TRUE(r.all_finite);
  ASSERT_EQ(r.quads.size(), 1u);
  expect_points(r.quads[0].p, {{0, 0}, {10, 0}, {10, 10}, {0, 10}});
}

TEST(PreparePass, ArrowheadIsSkippedWithoutDeclining) {
  const Prepared r = prepare_one_task(single_quad({{0, 0}, {4, 1}, {8, 0}, {4, 8}}));
  EXPECT_TRUE(r.all_finite);
  EXPECT_TRUE(r.quads.empty());
}

TEST(PreparePass, FourEqualVertices) {
  const Prepared on_grid = prepare_one_task(single_quad({{3, 4}, {3, 4}, {3, 4}, {3, 4}}));
  EXPECT_TRUE(on_grid.quads.empty());

  const Prepared off_grid =
      prepare_one_task(single_quad({{3.25, 4.75}, {3.25, 4.75}, {3.25, 4.75}, {3.25, 4.75}}));
  ASSERT_EQ(off_grid.quads.size(), 1u);
  EXPECT_EQ(off_grid.quads[0].x0, 3);
  EXPECT_EQ(off_grid.quads[0].x1, 4);
  EXPECT_EQ(off_grid.quads[0].y0, 4);
  EXPECT_EQ(off_grid.quads[0].y1, 5);
}

TEST(PreparePass, Slivers) {
  const Prepared on_line = prepare_one_task(single_quad({{7, 1}, {7, 5}, {7, 5}, {7, 1}}));
  EXPECT_TRUE(on_line.all_finite);
  EXPECT_TRUE(on_line.quads.empty());

  const Prepared mid_pixel =
      prepare_one_task(single_quad({{7.5, 1}, {7.5, 5}, {7.5, 5}, {7.5, 1}}));
  ASSERT_EQ(mid_pixel.quads.size(), 1u);
  EXPECT_EQ(mid_pixel.quads[0].x0, 7);
  EXPECT_EQ(mid_pixel.quads[0].x1, 8);
  EXPECT_EQ(mid_pixel.quads[0].y0, 1);
  EXPECT_EQ(mid_pixel.quads[0].y1, 5);
}

// ---- Pixel box and clipping -----------------------------------------------

TEST(PreparePass, BoxIsClippedToTheClipBox) {
  struct Case {
    const char* name;
    Point p[4];
    ClipBox clip;
    bool kept;
    std::int32_t x0, x1, y0, y1;
  };
  const Case cases[] = {
      {"reaches from -3.5 to 2.2",
       {{-3.5, 1}, {-3.5, 2}, {2.2, 2}, {2.2, 1}}, {0, 100, 0, 100}, true, 0, 3, 1, 2},
      {"inside", {{2.5, 3.1}, {2.5, 6.9}, {8.2, 6.9}, {8.2, 3.1}}, {0, 100, 0, 100},
       true, 2, 9, 3, 7},
      {"clamped on all sides", {{-5, -5}, {-5, 50}, {50, 50}, {50, -5}}, {10, 20, 30, 40},
       true, 10, 20, 30, 40},
      {"left of the clip", {{0, 0}, {0, 5}, {9.9, 5}, {9.9, 0}}, {10, 20, 0, 40},
       false, 0, 0, 0, 0},
      {"touches the clip edge only", {{0, 0}, {0, 5}, {10, 5}, {10, 0}}, {10, 20, 0, 40},
       false, 0, 0, 0, 0},
      {"above the clip", {{0, 40}, {0, 45}, {5, 45}, {5, 40}}, {0, 20, 0, 40},
       false, 0, 0, 0, 0},
      {"empty clip", {{0, 0}, {0, 5}, {5, 5}, {5, 0}}, {20, 11, 0, 40}, false, 0, 0, 0, 0},
      // Beyond 2^31 a bound saturates, so a cell larger than the image
      // still covers it.
      {"far beyond 2^31", {{-1e10, -1e10}, {-1e10, 1e10}, {1e10, 1e10}, {1e10, -1e10}},
       {3, 17, 2, 9}, true, 3, 17, 2, 9},
      {"just past 2^31", {{-3, -3}, {-3, 2147483648.5}, {2147483648.5, 2147483648.5},
       {2147483648.5, -3}}, {0, 50, 0, 60}, true, 0, 50, 0, 60},
      {"entirely beyond 2^31", {{3e9, 0}, {3e9, 5}, {4e9, 5}, {4e9, 0}}, {0, 50, 0, 60},
       false, 0, 0, 0, 0},
      {"entirely below -2^31", {{-4e9, 0}, {-4e9, 5}, {-3e9, 5}, {-3e9, 0}}, {0, 50, 0, 60},
       false, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Prepared r = prepare_one_task(single_quad(c.p), c.clip);
    EXPECT_TRUE(r.all_finite);
    ASSERT_EQ(r.quads.size(), c.kept ? 1u : 0u);
    if (!c.kept) continue;
    EXPECT_EQ(r.quads[0].x0, c.x0);
    EXPECT_EQ(r.quads[0].x1, c.x1);
    EXPECT_EQ(r.quads[0].y0, c.y0);
    EXPECT_EQ(r.quads[0].y1, c.y1);
  }
}

// ---- Mesh addressing, transform, colour rows -------------------------------

TEST(PreparePass, CellsOfAGridMapToTheirNodes) {
  // 5 x 2 grid with node (r, c) at (c, r): quad i is the unit cell (i%5, i/5).
  TestMesh m(5, 2);
  for (int r = 0; r <= 2; ++r)
    for (int c = 0; c <= 5; ++c) m.set_node(r, c, c, r);
  m.add_colour(1, 1, 1, 1);
  const Prepared res = prepare_one_task(m);
  ASSERT_EQ(res.quads.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    const double c = i % 5, r = i / 5;
    SCOPED_TRACE(i);
    // Nodes (r,c), (r+1,c), (r+1,c+1), (r,c+1), kept in that (clockwise) order.
    expect_points(res.quads[i].p, {{c, r}, {c, r + 1}, {c + 1, r + 1}, {c + 1, r}});
  }
}

TEST(PreparePass, TransformAddsProductsBeforeTheTranslation) {
  // With m00 = 2^53 and m02 = -2^53, (2^53 + 1) rounds to 2^53 before the
  // translation, giving 0; adding the translation earlier would give 1.
  const double big = std::ldexp(1.0, 53);
  TestMesh m(1, 1);
  for (int r = 0; r <= 1; ++r)
    for (int c = 0; c <= 1; ++c) m.set_node(r, c, 1, 1);
  m.set_node(1, 1, 3, 3);
  m.set_node(0, 1, 3, 3);
  m.add_colour(1, 1, 1, 1);
  const double matrix[9] = {big, 1, -big, 1, big, -big, kNaN, kNaN, kNaN};
  std::copy(matrix, matrix + 9, m.matrix);
  const Prepared r = prepare_one_task(m);
  ASSERT_TRUE(r.all_finite);
  ASSERT_EQ(r.quads.size(), 1u);
  // (3*2^53 + 3) rounds to 3*2^53 + 4; less 2^53 that is 2^54 + 4.
  const double far = std::ldexp(1.0, 54) + 4;
  expect_points(r.quads[0].p, {{0, 0}, {0, 0}, {far, far}, {far, far}});
}

TEST(PreparePass, AffineMatrixRowsZeroAndOne) {
  TestMesh m(1, 1);
  m.set_node(0, 0, 1, 2);
  m.set_node(1, 0, 1, 3);
  m.set_node(1, 1, 2, 3);
  m.set_node(0, 1, 2, 2);
  m.add_colour(1, 1, 1, 1);
  // x' = 2x + 0.5y + 3, y' = -x + 4y + 1
  const double matrix[9] = {2, 0.5, 3, -1, 4, 1, 0, 0, 1};
  std::copy(matrix, matrix + 9, m.matrix);
  const Prepared r = prepare_one_task(m);
  ASSERT_EQ(r.quads.size(), 1u);
  expect_points(r.quads[0].p, {{6, 8}, {6.5, 12}, {8.5, 11}, {8, 7}});
}

TEST(PreparePass, ColourRowsRepeatWithPeriodN) {
  struct Case {
    std::uint64_t cells;
    int rows;
    std::vector<int> expected;
  };
  const Case cases[] = {
      {5, 3, {0, 1, 2, 0, 1}},
      {4, 1, {0, 0, 0, 0}},
      {3, 6, {0, 1, 2}},
  };
  for (const Case& c : cases) {
    TestMesh m = unit_row(c.cells);
    m.colours.clear();
    for (int k = 0; k < c.rows; ++k) m.add_colour(k / 255.0, 0, 0, 1);
    const Prepared r = prepare_one_task(m);
    ASSERT_EQ(r.quads.size(), c.expected.size());
    for (std::size_t i = 0; i < c.expected.size(); ++i)
      EXPECT_EQ(r.quads[i].colour, pack_rgba(c.expected[i], 0, 0, 255)) << "cell " << i;
  }
}

TEST(PreparePass, StoredColourIsClampedRgbWithOpaqueAlpha) {
  const Prepared r = prepare_one_task(single_quad({{0, 0}, {0, 1}, {1, 1}, {1, 0}}, 1.5, -0.2, 0.5));
  ASSERT_EQ(r.quads.size(), 1u);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&r.quads[0].colour);
  EXPECT_EQ(bytes[0], 255);
  EXPECT_EQ(bytes[1], 0);
  EXPECT_EQ(bytes[2], 128);
  EXPECT_EQ(bytes[3], 255);
}

// ---- Colour bytes -----------------------------------------------------------

TEST(ColourByte, ClampScaleRoundHalfAway) {
  const struct {
    double in;
    int out;
  } cases[] = {
      {1.5, 255}, {-0.2, 0}, {0.5, 128},  // 127.5 rounds away from zero
      {0.0, 0}, {-0.0, 0}, {1.0, 255}, {0.25, 64}, {1.0 / 255.0, 1},
      {0.1, 26}, {0.9, 230}, {kInf, 255}, {-kInf, 0}, {kNaN, 0},
      {2.0 / 510.0, 1}, {254.49 / 255.0, 254}, {254.51 / 255.0, 255},
      // These scale to exactly 0.5 and 2.5: halves go away from zero.
      {0.5 / 255.0, 1}, {2.5 / 255.0, 3},
  };
  for (const auto& c : cases) EXPECT_EQ(colour_byte(c.in), c.out) << c.in;
}

// ---- Partition of the quads over tasks ------------------------------------

TEST(PreparePass, TasksTakeContiguousRanges) {
  struct Case {
    std::uint64_t cells, tasks;
    std::vector<std::vector<int>> ranges;
  };
  const Case cases[] = {
      {10, 4, {{0, 1}, {2, 3, 4}, {5, 6}, {7, 8, 9}}},
      {2, 3, {{}, {0}, {1}}},
      {5, 2, {{0, 1}, {2, 3, 4}}},
      {3, 3, {{0}, {1}, {2}}},
  };
  for (const Case& c : cases) {
    const TestMesh m = unit_row(c.cells);
    for (std::uint64_t k = 0; k < c.tasks; ++k) {
      const Prepared r = prepare_one_task(m, kWideClip, k, c.tasks);
      EXPECT_EQ(cells_of(r.quads), c.ranges[k]) << c.cells << " over " << c.tasks << ", task " << k;
    }
  }
}

TEST(PreparePass, OutOfRangeTaskDoesNothing) {
  const TestMesh m = unit_row(4);
  EXPECT_TRUE(prepare_one_task(m, kWideClip, 2, 2).quads.empty());
  EXPECT_TRUE(prepare_one_task(m, kWideClip, 0, 0).quads.empty());
}

// ---- Transparency and finiteness ------------------------------------------

TEST(PreparePass, AlphaWithinToleranceIsSkipped) {
  const struct {
    double alpha;
    bool drawn;
  } cases[] = {
      {0.0, false}, {-0.0, false}, {1e-13, false}, {-1e-13, false}, {1e-12, false},
      {-1e-12, false}, {2e-12, true}, {1.0, true}, {1.0 - 1e-13, true}, {kNaN, true},
  };
  for (const auto& c : cases) {
    TestMesh m = single_quad({{0, 0}, {0, 1}, {1, 1}, {1, 0}});
    m.colours[3] = c.alpha;
    Prepared r = prepare_one_task(m);
    EXPECT_TRUE(r.all_finite);
    ASSERT_EQ(r.quads.size(), c.drawn ? 1u : 0u) << "alpha " << c.alpha;
    if (c.drawn) {
      EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(&r.quads[0].colour)[3], 255);
    }

    // A non-finite vertex matters only if the cell is drawn.
    m.set_node(1, 1, kNaN, 0.5);
    r = prepare_one_task(m);
    EXPECT_EQ(r.all_finite, !c.drawn) << "alpha " << c.alpha;
    EXPECT_TRUE(r.quads.empty());
  }
}

TEST(PreparePass, NonFiniteVertexStopsTheTask) {
  // Node column 3 is shared by cells 2 and 3.
  TestMesh m = unit_row(5);
  m.set_node(1, 3, kNaN, 1);

  Prepared r = prepare_one_task(m);
  EXPECT_FALSE(r.all_finite);
  EXPECT_EQ(cells_of(r.quads), (std::vector<int>{0, 1}));  // cell 4 is never reached

  // Other tasks run their own ranges to the end.
  r = prepare_one_task(m, kWideClip, 2, 3);  // cells [3, 5)
  EXPECT_FALSE(r.all_finite);
  EXPECT_TRUE(r.quads.empty());
  r = prepare_one_task(m, kWideClip, 0, 3);  // cells [0, 1)
  EXPECT_TRUE(r.all_finite);
  EXPECT_EQ(cells_of(r.quads), (std::vector<int>{0}));

  // With both cells transparent the NaN is never looked at.
  m.colours[4 * 2 + 3] = 0.0;
  m.colours[4 * 3 + 3] = 1e-13;
  r = prepare_one_task(m);
  EXPECT_TRUE(r.all_finite);
  EXPECT_EQ(cells_of(r.quads), (std::vector<int>{0, 1, 4}));
}

TEST(PreparePass, NonFiniteSourcesDecline) {
  struct Case {
    const char* name;
    double node_x;
    double matrix[9];
    bool finite;
  };
  const Case cases[] = {
      {"NaN coordinate", kNaN, {1, 0, 0, 0, 1, 0, 0, 0, 1}, false},
      {"infinite coordinate", kInf, {1, 0, 0, 0, 1, 0, 0, 0, 1}, false},
      {"overflow in the transform", 1e300, {1e10, 0, 0, 0, 1, 0, 0, 0, 1}, false},
      {"NaN in row 0", 1, {1, 0, kNaN, 0, 1, 0, 0, 0, 1}, false},
      {"NaN in row 1", 1, {1, 0, 0, kNaN, 1, 0, 0, 0, 1}, false},
      {"infinite in row 1", 1, {1, 0, 0, 0, 1, kInf, 0, 0, 1}, false},
      {"NaN in row 2 is never read", 1, {1, 0, 0, 0, 1, 0, kNaN, kNaN, kNaN}, true},
      {"huge but finite", 1e300, {1, 0, 0, 0, 1, 0, 0, 0, 1}, true},
  };
  for (const Case& c : cases) {
    TestMesh m = single_quad({{0, 0}, {0, 1}, {1, 1}, {1, 0}});
    m.set_node(0, 1, c.node_x, 0);
    std::copy(c.matrix, c.matrix + 9, m.matrix);
    // The cell lies outside the clip box; the decline must not depend on it.
    const Prepared r = prepare_one_task(m, ClipBox{50, 60, 50, 60});
    EXPECT_EQ(r.all_finite, c.finite) << c.name;
    EXPECT_TRUE(r.quads.empty()) << c.name;
  }
}

// ---- The fill's batched walk ------------------------------------------------
// fill_band walks quads several to a vector; these hold it to the reference
// pipeline (prepare_task, then covers() pixel by pixel, quad after quad) at
// every lane width, with colours packed and not, in bands cut anywhere.

// Where a processor lacks a width, the walk takes the widest it has.
const int kWalkLanes[] = {2, 4, 8};

// The colours as the alpha pass packs them: alpha byte 0 where transparent.
std::vector<std::uint32_t> packed_colours(const TestMesh& m) {
  std::vector<std::uint32_t> out;
  for (std::size_t k = 0; k + 4 <= m.colours.size(); k += 4) {
    std::uint32_t c = packed_colour(&m.colours[k]);
    if (transparent(&m.colours[k])) c &= pack_rgba(255, 255, 255, 0);
    out.push_back(c);
  }
  return out;
}

std::vector<std::uint32_t> reference_image(const TestMesh& m, const ClipBox& clip,
                                           std::int32_t width, std::int32_t height) {
  const Prepared r = prepare_one_task(m, clip);
  EXPECT_TRUE(r.all_finite);
  GuardedTarget t(width, height);
  for (const PreparedQuad& q : r.quads) fill_quad_per_pixel(q, q.y0, q.y1, t.image());
  return t.pixels();
}

// fill_band over 1, 2, 3 and one band a row, with the index the check pass
// makes of `checked` (the mesh as it was before another thread wrote it),
// must draw `want`.
void expect_walk_draws(const TestMesh& m, const TestMesh& checked, const ClipBox& clip,
                       std::int32_t width, std::int32_t height,
                       const std::vector<std::uint32_t>& want) {
  const std::vector<std::uint32_t> packed = packed_colours(m);
  const std::int32_t rows = std::max(0, clip.y1 - clip.y0);
  for (const int lanes : kWalkLanes)
    for (const bool with_packed : {false, true})
      for (const std::int32_t bands : {1, 2, 3, rows}) {
        if (bands < 1 || bands > rows) continue;
        SCOPED_TRACE(::testing::Message() << lanes << " lanes, packed " << with_packed << ", "
                                          << bands << " bands");
        MeshView view = m.view();
        if (with_packed) view.packed = packed.data();
        const BandSplit split{clip.y0, rows, static_cast<std::uint64_t>(bands)};
        std::vector<TaskBands> index;
        if (bands > 1) {
          ASSERT_TRUE(testing_support::check_and_index(checked.view(), clip, 3, split, index));
        }
        // Rows bottom-up and pixels 8 bytes apart on every other try.
        const bool odd = (bands + lanes + with_packed) % 2 != 0;
        GuardedTarget t(width, height, odd ? 3 : 0, odd, odd ? 8 : 4);
        for (std::int32_t b = 0; b < bands; ++b)
          fill_band(view, clip, index, split, static_cast<std::uint64_t>(b), t.image(), lanes);
        EXPECT_EQ(t.pixels(), want);
        EXPECT_TRUE(t.untouched_outside_pixels());
      }
}

// A W x H mesh of cells about `size` pixels, nodes jittered by up to
// `jitter` of a cell, every fifth colour transparent.
TestMesh jittered(std::uint64_t w, std::uint64_t h, double size, double jitter, int seed) {
  testing_support::RandomPicks pick(seed);
  TestMesh m(w, h);
  for (std::uint64_t r = 0; r <= h; ++r)
    for (std::uint64_t c = 0; c <= w; ++c)
      m.set_node(r, c, 0.7 + size * (c + jitter * pick.real(-1, 1)),
                 0.4 + size * 1.3 * (r + jitter * pick.real(-1, 1)));
  for (std::uint64_t k = 0; k < w * h; ++k)
    m.add_colour(pick.real(0, 1), pick.real(0, 1), pick.real(0, 1), k % 5 == 3 ? 0.0 : 1.0);
  return m;
}

TEST(BatchedWalk, BatchesCutAtRowEndsAndBandEdges) {
  // Rows of 1 to 17 quads end inside a batch of 2, 4 and 8 and on their
  // ends; cells of 1.3 px have boxes tested in the batch, 6 px ones go to
  // fill_quad, 3 px ones mix both; jitter folds some into bow-ties.
  for (std::uint64_t w = 1; w <= 17; ++w)
    for (const double size : {1.3, 3.0, 6.0}) {
      SCOPED_TRACE(::testing::Message() << w << " quads a row, cells of " << size << " px");
      const TestMesh m = jittered(w, 3, size, w % 3 == 0 ? 0.6 : 0.2, static_cast<int>(w));
      const std::int32_t width = static_cast<std::int32_t>(size * w) + 3;
      const std::int32_t height = static_cast<std::int32_t>(size * 4.2) + 2;
      // The clip box cuts through the first and last cells.
      const ClipBox clip{1, width - 1, 1, height};
      expect_walk_draws(m, m, clip, width, height, reference_image(m, clip, width, height));
    }
}

TEST(BatchedWalk, TransparentAndNonFiniteQuadsInsideABatch) {
  // Node (1, 5) is a corner of quads 4 and 5 of both rows; another thread
  // wrote it after the check pass: those quads are left out, the rest of
  // their batches drawn. A non-finite node of transparent quads changes
  // nothing.
  for (const double bad : {kNaN, kInf, -kInf}) {
    for (const double size : {1.6, 5.0}) {
      const TestMesh checked = jittered(16, 2, size, 0.2, 7);
      TestMesh m = checked;
      m.node(1, 5)[bad == kNaN ? 0 : 1] = bad;
      m.node(0, 12)[0] = kNaN;
      TestMesh without = checked;
      for (const std::uint64_t quad : {4, 5, 20, 21, 11, 12}) without.colours[4 * quad + 3] = 0.0;
      m.colours[4 * 11 + 3] = 0.0;  // quads 11 and 12 are transparent
      m.colours[4 * 12 + 3] = -1e-13;
      const auto width = static_cast<std::int32_t>(17 * size) + 2;
      const auto height = static_cast<std::int32_t>(3 * 1.3 * size) + 2;
      const ClipBox clip{0, width, 0, height};
      const std::vector<std::uint32_t> want = reference_image(without, clip, width, height);
      EXPECT_NE(want, reference_image(checked, clip, width, height));
      expect_walk_draws(m, checked, clip, width, height, want);
    }
  }
}

TEST(BatchedWalk, LaterQuadsOfABatchWin) {
  // Node columns alternate between two x, so that all nine quads of the row
  // are the same rectangle; the last one not transparent wins everywhere.
  struct Case {
    const char* name;
    double left, right, bottom, top;  // small boxes, or ones for fill_quad
    int last_opaque;
  };
  const Case cases[] = {
      {"small boxes", 1.2, 4.7, 1.3, 4.6, 8},
      {"small boxes, last transparent", 1.2, 4.7, 1.3, 4.6, 7},
      {"one pixel", 2.3, 2.7, 1.4, 1.6, 8},
      {"large boxes", 1.2, 30.7, 1.3, 14.6, 8},
      {"large boxes, last two transparent", 0.5, 30.5, 0.5, 14.5, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestMesh m(9, 1);
    for (std::uint64_t col = 0; col <= 9; ++col) {
      const double x = col % 2 == 0 ? c.left : c.right;
      m.set_node(0, col, x, c.bottom);
      m.set_node(1, col, x, c.top);
    }
    for (int k = 0; k < 9; ++k) m.add_colour(k / 8.0, 1 - k / 8.0, 0.5, k <= c.last_opaque ? 1 : 0);
    const ClipBox clip{0, 32, 0, 16};
    const std::vector<std::uint32_t> want = reference_image(m, clip, 32, 16);
    const std::uint32_t last = packed_colour(&m.colours[4 * c.last_opaque]);
    EXPECT_NE(std::count(want.begin(), want.end(), last), 0);
    EXPECT_EQ(std::count(want.begin(), want.end(), last) +
                  std::count(want.begin(), want.end(), GuardedTarget::fill_colour()),
              32 * 16);
    expect_walk_draws(m, m, clip, 32, 16, want);
  }
}

TEST(BatchedWalk, ColourRowsWrapInsideABatch) {
  // 3 colour rows over rows of 11 quads: a batch's colours wrap around,
  // several times in one batch of 8.
  for (const int colour_rows : {1, 3, 7, 12}) {
    TestMesh m = jittered(11, 2, 2.2, 0.1, colour_rows);
    m.colours.resize(4 * colour_rows);
    if (colour_rows > 1) m.colours[4 * 1 + 3] = 0.0;
    const ClipBox clip{0, 28, 0, 8};
    expect_walk_draws(m, m, clip, 28, 8, reference_image(m, clip, 28, 8));
  }
}

}  // namespace
}  // namespace quadlite
