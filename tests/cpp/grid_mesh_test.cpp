// The grid path against the generic passes: seeded trap-laden grids, the
// choice of path, the verified axes as the only geometry read, large and
// huge targets.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "render/grid_mesh.hpp"
#include "grid_scenes.hpp"
#include "render_test_support.hpp"

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

void grid_draw(const GridMesh& grid, const GridScene& s, std::uint64_t bands,
               std::vector<BandRow>& rows, GuardedTarget& t) {
  const BandSplit split{s.clip.y0, clip_rows(s.clip), bands};
  for (std::uint64_t b = 0; b < bands; ++b)
    fill_grid_band(grid, s.mesh.view(), split, b, rows[b], t.image());
}

TEST(GridMesh, DrawsWhatTheGenericPassesDrawForAnyBandCount) {
  int taken = 0, painted = 0;
  const int kScenes = 4000;
  for (int seed = 0; seed < kScenes; ++seed) {
    const GridScene s = GridMaker(seed).make();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    GuardedTarget expected = s.target();
    const bool drawn = generic_draw(s, expected);
    const std::int32_t rows = clip_rows(s.clip);
    for (std::uint64_t bands : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{7},
                                static_cast<std::uint64_t>(rows)}) {
      if (bands == 0 || bands > static_cast<std::uint64_t>(rows)) continue;
      GridMesh grid, in_three;
      const bool on_grid = take_grid(s.mesh.view(), s.clip, 1, bands, serially, grid);
      ASSERT_EQ(take_grid(s.mesh.view(), s.clip, 3, bands, serially, in_three), on_grid);
      if (!on_grid) continue;
      ASSERT_TRUE(drawn) << "a grid with finite nodes never declines";
      GuardedTarget t = s.target();
      grid_draw(grid, s, bands, grid.band_rows, t);
      ASSERT_EQ(t.pixels(), expected.pixels()) << bands << " bands";
      ASSERT_TRUE(t.untouched_outside_pixels()) << bands << " bands";
      taken += bands == 1;
      painted += bands == 1 && t.pixels() != s.target().pixels();
    }
  }
  printf("%d scenes: %d on the grid path, %d of them painted\n", kScenes, taken, painted);
  EXPECT_GT(taken, kScenes / 3);
  EXPECT_GT(painted, kScenes / 5);
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
    return take_grid(m.view(), clip, 2, 2, serially, grid);
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

// The fill reads no node: once verified, changing the nodes (as another
// thread may while the interpreter lock is released) changes nothing drawn.
TEST(GridMesh, FillWorksFromTheVerifiedAxesAlone) {
  TestMesh m = regular_grid(10, 7, 2.5);
  const ClipBox clip{0, 30, 0, 24};
  GuardedTarget before(30, 24), after(30, 24);
  ASSERT_TRUE(testing_support::draw(m, clip, 1, 1, before.image()));
  GridMesh grid;
  ASSERT_TRUE(take_grid(m.view(), clip, 1, 3, serially, grid));
  for (double& v : m.coords) v = v * 7 - 1e6;
  m.coords[3] = kNaN;
  const BandSplit split{clip.y0, 24, 3};
  for (std::uint64_t b = 0; b < 3; ++b)
    fill_grid_band(grid, m.view(), split, b, grid.band_rows[b], after.image());
  EXPECT_EQ(after.pixels(), before.pixels());
}

// Images of 32 MiB and more take streamed stores on long runs and no row
// copies: the same bytes.
TEST(GridMesh, LargeImageDrawsWhatTheGenericPassesDraw) {
  const std::int32_t size = 2900;  // 33.6 MB
  TestMesh m(97, 89);
  for (std::uint64_t r = 0; r <= m.h; ++r)
    for (std::uint64_t c = 0; c <= m.w; ++c) m.set_node(r, c, -3.5 + 30.25 * c, 1.5 + 33.0 * r);
  for (int k = 0; k < 500; ++k) m.add_colour((k % 7) / 6.0, (k % 11) / 10.0, 0.5, k % 9 ? 1 : 0);
  const ClipBox clip{3, size - 1, 0, size};
  std::vector<std::uint8_t> generic(std::size_t(size) * size * 4, 7), grid_bytes = generic;
  TargetImage image;
  image.height = image.width = size;
  image.row_stride = std::int64_t{size} * 4;
  image.col_stride = 4;
  image.data = generic.data();
  ASSERT_TRUE(testing_support::draw(m, clip, 1, 1, image));
  GridMesh grid;
  ASSERT_TRUE(take_grid(m.view(), clip, 1, 2, serially, grid));
  image.data = grid_bytes.data();
  const BandSplit split{clip.y0, size, 2};
  for (std::uint64_t b = 0; b < 2; ++b)
    fill_grid_band(grid, m.view(), split, b, grid.band_rows[b], image);
  EXPECT_TRUE(grid_bytes == generic);
}

// A target in an anonymous mapping that reserves nothing, so that images of
// 2^31 - 1 rows or columns cost only the pages written.
struct Mapping {
  std::size_t bytes;
  std::uint8_t* base;
  explicit Mapping(std::size_t n)
      : bytes(n),
        base(static_cast<std::uint8_t*>(mmap(nullptr, n, PROT_READ | PROT_WRITE,
                                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0))) {}
  ~Mapping() {
    if (base != MAP_FAILED) munmap(base, bytes);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
};

// Grids at the far end of targets of 2^31 - 1 rows and of 2^31 - 1 columns,
// the clip box cutting their cells: the same pixels as the generic passes,
// and nothing written beside the clip box.
TEST(GridMesh, FarEndOfHugeTargets) {
  const double top = 2147483647.0;
  const struct {
    std::int32_t width, height;
    std::vector<double> xs, ys;
    ClipBox clip;
  } cases[] = {
      {40, INT32_MAX, {-2.5, 3.5, 3.5, 9.25, 20.0, 41.0},
       {top - 30.5, top - 9.5, top - 4.0, top - 3.5 + 1e-13, top + 0.5, top + 7},
       {2, 37, INT32_MAX - 12, INT32_MAX}},
      {INT32_MAX, 6, {top - 40.5, top - 9.5, top - 4.0, top - 3.5 - 1e-13, top + 0.5, top + 7},
       {-1.0, 2.5, 2.5, 4.0, 7.0}, {INT32_MAX - 30, INT32_MAX, 1, 6}},
  };
  for (const auto& c : cases) {
    TestMesh m(c.xs.size() - 1, c.ys.size() - 1);
    for (std::uint64_t r = 0; r <= m.h; ++r)
      for (std::uint64_t col = 0; col <= m.w; ++col) m.set_node(r, col, c.xs[col], c.ys[r]);
    for (int k = 0; k < 7; ++k) m.add_colour(k / 6.0, 1 - k / 6.0, 0.5, k == 3 ? 0 : 1);
    const std::size_t bytes = std::size_t(c.width) * std::size_t(c.height) * 4;
    Mapping generic(bytes), grid_map(bytes);
    ASSERT_NE(generic.base, MAP_FAILED);
    ASSERT_NE(grid_map.base, MAP_FAILED);
    TargetImage image;
    image.width = c.width;
    image.height = c.height;
    image.row_stride = std::int64_t{c.width} * 4;
    image.col_stride = 4;
    image.data = generic.base;
    ASSERT_TRUE(testing_support::draw(m, c.clip, 1, 1, image));
    image.data = grid_map.base;
    GridMesh grid;
    ASSERT_TRUE(take_grid(m.view(), c.clip, 1, 3, serially, grid));
    const BandSplit split{c.clip.y0, c.clip.y1 - c.clip.y0, 3};
    for (std::uint64_t b = 0; b < 3; ++b)
      fill_grid_band(grid, m.view(), split, b, grid.band_rows[b], image);
    // The clip box and a margin of 4 pixels around it, inside the image.
    std::int64_t painted = 0;
    for (std::int64_t y = std::max(0, c.clip.y0 - 4);
         y < std::min<std::int64_t>(c.height, std::int64_t{c.clip.y1} + 4); ++y) {
      const std::int64_t row = (std::int64_t{c.height} - 1 - y) * image.row_stride;
      for (std::int64_t x = std::max(0, c.clip.x0 - 4);
           x < std::min<std::int64_t>(c.width, std::int64_t{c.clip.x1} + 4); ++x) {
        const std::uint8_t* want = generic.base + row + 4 * x;
        const std::uint8_t* got = grid_map.base + row + 4 * x;
        ASSERT_EQ(std::memcmp(want, got, 4), 0) << "pixel (" << x << ", " << y << ")";
        const bool inside = x >= c.clip.x0 && x < c.clip.x1 && y >= c.clip.y0 && y < c.clip.y1;
        painted += got[3] == 255;
        ASSERT_TRUE(inside || got[3] == 0) << "pixel (" << x << ", " << y << ") outside the clip";
      }
    }
    EXPECT_GT(painted, 20);
  }
}

}  // namespace
}  // namespace quadlite
