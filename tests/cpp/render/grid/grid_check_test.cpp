// The grid path against the generic passes: seeded trap-laden grids, the
// choice of path, the verified axes as the only geometry read, a large
// target. (Targets of 2^31 - 1 rows and columns: huge_target_test.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "grid_scenes.hpp"
#include "pool/worker_pool.hpp"
#include "render/cpu_features.hpp"
#include "render/grid/grid_check.hpp"
#include "render/grid/grid_fill.hpp"
#include "render/render_job.hpp"
#include "support/failing_allocator.hpp"
#include "support/render_test_support.hpp"

namespace quadlite {
namespace {

using testing_support::generic_draw;
using testing_support::GridMaker;
using testing_support::GridScene;
using testing_support::GuardedTarget;
using testing_support::clip_rows;
using testing_support::TestMesh;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Runs every task on the calling thread, as the job does for small meshes.
const auto serially = [](std::uint64_t count, auto&& body) {
  for (std::uint64_t k = 0; k < count; ++k) body(k);
};

// Each band with its own scratch, as the render job runs them.
std::vector<BandRow> band_rows(const GridMesh& grid, std::uint64_t bands) {
  std::vector<BandRow> rows;
  EXPECT_TRUE(make_band_rows(grid, bands, rows));
  return rows;
}

// With `packed`, the fill reads the colours packed once from there.
void grid_draw(const GridMesh& grid, const GridScene& s, std::uint64_t bands, GuardedTarget& t,
               int lanes = widest_lanes(), const std::uint32_t* packed = nullptr) {
  const BandSplit split{s.clip.y0, clip_rows(s.clip), bands};
  std::vector<BandRow> rows = band_rows(grid, bands);
  MeshView mesh = s.mesh.view();
  mesh.packed = packed;
  for (std::uint64_t b = 0; b < bands; ++b)
    fill_grid_band(grid, mesh, split, b, rows[b], t.image(), lanes);
}

// Scenes [first, end) of `make` drawn on the grid path in several bands at
// both vector widths, each against the generic passes. Counts the scenes
// taken and those painted.
template <class Make>
void compare_with_generic(int first, int end, Make&& make, int& taken, int& painted) {
  for (int seed = first; seed < end; ++seed) {
    const GridScene s = make(seed);
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    GuardedTarget expected = s.target();
    const bool drawn = generic_draw(s, expected);
    const std::int32_t rows = clip_rows(s.clip);
    GridMesh grid, in_three;
    const bool on_grid = take_grid(s.mesh.view(), s.clip, 1, serially, grid);
    ASSERT_EQ(take_grid(s.mesh.view(), s.clip, 3, serially, in_three), on_grid);
    if (!on_grid) continue;
    ASSERT_TRUE(drawn) << "a grid with finite nodes never declines";
    for (std::uint64_t bands : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{7},
                                static_cast<std::uint64_t>(rows)}) {
      if (bands == 0 || bands > static_cast<std::uint64_t>(rows)) continue;
      for (const int lanes : {2, widest_lanes()}) {
        GuardedTarget t = s.target();
        grid_draw(grid, s, bands, t, lanes);
        ASSERT_EQ(t.pixels(), expected.pixels()) << bands << " bands, " << lanes << " lanes";
        ASSERT_TRUE(t.untouched_outside_pixels()) << bands << " bands, " << lanes << " lanes";
        if (bands == 1 && lanes == 2) {
          ++taken;
          painted += t.pixels() != s.target().pixels();
        }
      }
    }
  }
}

TEST(GridMesh, DrawsWhatTheGenericPassesDrawForAnyBandCount) {
  int taken = 0, painted = 0;
  const int kScenes = 4000;
  compare_with_generic(0, kScenes, [](int seed) { return GridMaker(seed).make(); }, taken,
                       painted);
  printf("%d scenes: %d on the grid path, %d of them painted\n", kScenes, taken, painted);
  EXPECT_GT(taken, kScenes / 3);
  EXPECT_GT(painted, kScenes / 5);
}

// Heat maps placed as figures place them, edges between pixel centres, on
// them and within the tolerance's reach of them.
TEST(GridMesh, FigureGridsDrawWhatTheGenericPassesDraw) {
  int taken = 0, painted = 0;
  const int kScenes = 500;
  compare_with_generic(20000, 20000 + kScenes, [](int seed) { return GridMaker(seed).figure(); },
                       taken, painted);
  printf("%d figures: %d on the grid path, %d of them painted\n", kScenes, taken, painted);
  EXPECT_GT(taken, kScenes * 3 / 4);
  EXPECT_GT(painted, kScenes / 2);
}

TestMesh regular_grid(std::uint64_t w, std::uint64_t h, double step) {
  TestMesh m(w, h);
  for (std::uint64_t r = 0; r <= h; ++r)
    for (std::uint64_t c = 0; c <= w; ++c) m.set_node(r, c, 0.25 + step * c, 0.5 + step * r);
  m.add_colour(0.2, 0.4, 0.6, 1);
  m.add_colour(0.9, 0.1, 0.0, 1);
  m.add_colour(0.0, 0.0, 1.0, 0);
  return m;
}

TEST(GridMesh, TakenOnlyForExactFiniteMonotoneGrids) {
  const ClipBox clip{0, 32, 0, 32};
  const auto taken = [&](const TestMesh& m) {
    GridMesh grid;
    return take_grid(m.view(), clip, 2, serially, grid);
  };
  EXPECT_TRUE(taken(regular_grid(8, 6, 3.0)));
  EXPECT_TRUE(taken(regular_grid(1, 1, 0.0)));  // every node on one point

  TestMesh ulp = regular_grid(8, 6, 3.0);
  ulp.node(4, 5)[1] = std::nextafter(ulp.node(4, 5)[1], 1e9);
  EXPECT_FALSE(taken(ulp));
  TestMesh nan = regular_grid(8, 6, 3.0);
  nan.node(6, 8)[0] = kNaN;  // the last node, read last
  EXPECT_FALSE(taken(nan));
  TestMesh folded = regular_grid(8, 6, 3.0);
  for (std::uint64_t r = 0; r <= 6; ++r) folded.node(r, 3)[0] = 30.0;
  EXPECT_FALSE(taken(folded));
  TestMesh rotated = regular_grid(8, 6, 3.0);
  rotated.matrix[1] = 1e-9;
  EXPECT_FALSE(taken(rotated));
  TestMesh dense = regular_grid(200, 3, 0.1);  // 10 cells a pixel
  EXPECT_FALSE(taken(dense));
  // Huge but finite: widths overflow to inf, the grid path still applies.
  TestMesh huge(2, 1);
  const double xs[] = {-1.7e308, 5.5, 1.7e308};
  for (int c = 0; c < 3; ++c) huge.set_node(0, c, xs[c], 2.0), huge.set_node(1, c, xs[c], 9.0);
  huge.add_colour(1, 0, 0, 1);
  EXPECT_TRUE(taken(huge));
}

// Channels on and beside every rounding boundary (k / 510), out of range,
// NaN and tiny, alphas at and near the tolerance: the colours packed four
// to a vector are packed_colour's.
TEST(GridMesh, PacksEveryByteAsTheGenericPassesDo) {
  TestMesh m(64, 36);
  for (std::uint64_t r = 0; r <= m.h; ++r)
    for (std::uint64_t c = 0; c <= m.w; ++c) m.set_node(r, c, 0.25 + 2 * c, 0.75 + r);
  const double odd[] = {kNaN, -0.0, -1.0, 1.5, 1e-310, 5e-324, HUGE_VAL, -HUGE_VAL};
  const double alphas[] = {1, 1, 1, 1e-12, -1e-12, 1 - 5e-13, kNaN, 0};
  for (int k = 0; k < 64 * 36; ++k) {
    const double v = (k % 520) / 510.0;
    const double channels[3] = {std::nextafter(v, -1.0), v, std::nextafter(v, 2.0)};
    const int turn = k % 3;
    m.add_colour(k % 520 > 510 ? odd[k % 8] : channels[turn], channels[(turn + 1) % 3],
                 channels[(turn + 2) % 3], alphas[k % 8]);
  }
  GridScene s;
  s.mesh = m;
  s.width = 130;
  s.height = 38;
  s.clip = {0, 130, 0, 38};
  GuardedTarget expected = s.target();
  ASSERT_TRUE(generic_draw(s, expected));
  GridMesh grid;
  ASSERT_TRUE(take_grid(s.mesh.view(), s.clip, 1, serially, grid));
  // The colours packed once, by the alpha pass's kernel and by face_colour
  // one at a time: the same words, and the same bytes drawn from them.
  const std::size_t count = s.mesh.colours.size() / 4;
  std::vector<std::uint32_t> packed(count), plain(count);
  ASSERT_TRUE(alphas_binary(s.mesh.colours.data(), 0, count, packed.data()));
  for (std::size_t k = 0; k < count; ++k) plain[k] = face_colour(&s.mesh.colours[4 * k]);
  EXPECT_EQ(packed, plain);
  for (const int lanes : {2, widest_lanes()}) {
    GuardedTarget t = s.target();
    grid_draw(grid, s, 1, t, lanes);
    EXPECT_EQ(t.pixels(), expected.pixels()) << lanes << " lanes";
    GuardedTarget from_packed = s.target();
    grid_draw(grid, s, 1, from_packed, lanes, packed.data());
    EXPECT_EQ(from_packed.pixels(), expected.pixels()) << lanes << " lanes, packed";
  }
}

// Without memory for the axes, the columns or a band's scratch the job takes
// the quad path, decided before any pixel is written: the same bytes.
TEST(GridMesh, MemoryExhaustionTakesTheQuadPath) {
  WorkerPool pool(1);
  int ran_out = 0;
  for (int seed = 20000; seed < 20030; ++seed) {
    const GridScene s = GridMaker(seed).figure();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    GuardedTarget expected = s.target();
    if (!generic_draw(s, expected)) continue;
    RenderInputs in;
    in.mesh = s.mesh.view();
    const double extents[4] = {double(s.clip.x0), double(s.clip.y0), double(s.clip.x1),
                               double(s.clip.y1)};
    std::copy(extents, extents + 4, in.extents);
    for (long allowed = 0; allowed < 60; ++allowed) {
      GuardedTarget t = s.target();
      in.target = t.image();
      GridMesh probe;
      testing_support::fail_allocations_after(allowed);
      const bool grid_fits = take_grid(s.mesh.view(), s.clip, 1, serially, probe);
      testing_support::fail_allocations_after(allowed);
      const bool drawn = render_job(in, [](auto&& body) { body(); }, &pool);
      testing_support::fail_allocations_after(-1);
      ran_out += !grid_fits;
      ASSERT_TRUE(drawn) << allowed << " allocations allowed";
      ASSERT_EQ(t.pixels(), expected.pixels()) << allowed << " allocations allowed";
    }
  }
  EXPECT_GT(ran_out, 30);
}

// The fill reads no node: once verified, changing the nodes (as another
// thread may while the interpreter lock is released) changes nothing drawn.
TEST(GridMesh, FillWorksFromTheVerifiedAxesAlone) {
  TestMesh m = regular_grid(10, 7, 2.5);
  const ClipBox clip{0, 30, 0, 24};
  GuardedTarget before(30, 24), after(30, 24);
  ASSERT_TRUE(testing_support::draw(m, clip, 1, 1, before.image()));
  GridMesh grid;
  ASSERT_TRUE(take_grid(m.view(), clip, 1, serially, grid));
  std::vector<BandRow> rows = band_rows(grid, 3);
  for (double& v : m.coords) v = v * 7 - 1e6;
  m.coords[3] = kNaN;
  const BandSplit split{clip.y0, 24, 3};
  for (std::uint64_t b = 0; b < 3; ++b)
    fill_grid_band(grid, m.view(), split, b, rows[b], after.image());
  EXPECT_EQ(after.pixels(), before.pixels());
}

// Images of 32 MiB and more take streamed stores on long runs and no row
// copies: the same bytes, for cells far wider than the long runs and for
// cells of a few pixels in an axes box, at both vector widths.
TEST(GridMesh, LargeImageDrawsWhatTheGenericPassesDraw) {
  const std::int32_t size = 2900;  // 33.6 MB
  TestMesh wide(97, 89), small(260, 230);
  for (std::uint64_t r = 0; r <= wide.h; ++r)
    for (std::uint64_t c = 0; c <= wide.w; ++c)
      wide.set_node(r, c, -3.5 + 30.25 * c, 1.5 + 33.0 * r);
  for (std::uint64_t r = 0; r <= small.h; ++r)
    for (std::uint64_t c = 0; c <= small.w; ++c) small.set_node(r, c, c, r);
  small.matrix[0] = 2.31, small.matrix[2] = 411.7, small.matrix[4] = 1.73, small.matrix[5] = 702.2;
  for (TestMesh* m : {&wide, &small}) {
    for (int k = 0; k < 500; ++k)
      m->add_colour((k % 7) / 6.0, (k % 11) / 10.0, 0.5, k % 9 ? 1 : 0);
  }
  const ClipBox clip{3, size - 1, 0, size};
  for (const TestMesh* m : {&wide, &small}) {
    std::vector<std::uint8_t> generic(std::size_t(size) * size * 4, 7);
    TargetImage image;
    image.height = image.width = size;
    image.row_stride = std::int64_t{size} * 4;
    image.col_stride = 4;
    image.data = generic.data();
    ASSERT_TRUE(testing_support::draw(*m, clip, 1, 1, image));
    GridMesh grid;
    ASSERT_TRUE(take_grid(m->view(), clip, 1, serially, grid));
    for (const int lanes : {2, widest_lanes()}) {
      std::vector<std::uint8_t> grid_bytes(generic.size(), 7);
      std::vector<BandRow> rows = band_rows(grid, 2);
      image.data = grid_bytes.data();
      const BandSplit split{clip.y0, size, 2};
      for (std::uint64_t b = 0; b < 2; ++b)
        fill_grid_band(grid, m->view(), split, b, rows[b], image, lanes);
      EXPECT_TRUE(grid_bytes == generic) << m->w << " cells a row, " << lanes << " lanes";
    }
  }
}

}  // namespace
}  // namespace quadlite
