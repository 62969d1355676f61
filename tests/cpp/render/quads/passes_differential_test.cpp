// Both passes against a per-pixel reference on seeded random meshes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "reference/reference_passes.hpp"
#include "render/quads/check_pass.hpp"
#include "render/quads/fill_pass.hpp"
#include "support/render_test_support.hpp"

namespace quadlite {
namespace {

using testing_support::GuardedTarget;
using testing_support::RandomPicks;
using testing_support::TestMesh;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

struct Layout {
  std::int64_t row_pad = 0;
  bool rows_reversed = false;
  std::int64_t col_stride = 4;
};

struct Scene {
  TestMesh mesh{1, 1};
  std::int32_t width = 1, height = 1;
  ClipBox clip;
  Layout layout;
};

class SceneMaker : public RandomPicks {
 public:
  explicit SceneMaker(std::uint64_t seed) : RandomPicks(seed) {}

  Scene make() {
    Scene s;
    s.width = integer(1, 40);
    s.height = integer(1, 40);
    s.layout = {integer(0, 1) ? integer(1, 9) : 0, integer(0, 1) == 1, 4 * integer(1, 2)};
    s.clip = clip_box(s.width, s.height, 0.15);
    // Rows of 13 quads and more hold whole batches of the fill's widest walk.
    const std::uint64_t w = chance(0.2) ? integer(13, 40) : integer(1, 12), h = integer(1, 12);
    s.mesh = TestMesh(w, h);
    place_nodes(s.mesh, s.width, s.height);
    set_matrix(s.mesh, s.width, s.height);
    set_colours(s.mesh);
    if (chance(0.08)) {  // a non-finite node somewhere
      double* node = s.mesh.node(integer(0, h), integer(0, w));
      node[integer(0, 1)] = chance(0.5) ? kNaN : -kInf;
    }
    return s;
  }

 private:
  // A jittered grid; large jitter folds cells into bow-ties and concave shapes.
  void place_nodes(TestMesh& m, std::int32_t width, std::int32_t height) {
    double spacing;
    switch (integer(0, 9)) {
      case 0:
      case 1: spacing = real(0.05, 0.7); break;                    // sub-pixel cells
      case 2: spacing = std::ldexp(1.0, -integer(40, 44)); break;  // all-neutral cells
      case 3: spacing = real(1e3, 1e10); break;                    // huge cells
      case 4:
      case 5: spacing = 0.5 * integer(1, 8); break;  // on pixel edges and centres
      default: spacing = real(1.0, 9.0); break;
    }
    const double jitter = std::vector<double>{0.0, 0.0, 0.1, 0.3, 0.7, 1.6}[integer(0, 5)];
    const bool snap = chance(0.25);
    // Huge cells start far outside so that some of them cover the image.
    double ox = real(-0.3, 0.6) * width;
    double oy = real(-0.3, 0.6) * height;
    if (spacing > 100) {
      ox -= spacing * real(0, m.w);
      oy -= spacing * real(0, m.h);
    }
    for (std::uint64_t r = 0; r <= m.h; ++r)
      for (std::uint64_t c = 0; c <= m.w; ++c) {
        double x = ox + (c + jitter * real(-1, 1)) * spacing;
        double y = oy + (r + jitter * real(-1, 1)) * spacing;
        if (snap) {
          x = std::round(x * 2) / 2;
          y = std::round(y * 2) / 2;
        }
        m.set_node(r, c, x, y);
      }
  }

  // Identity, or a random rotation, scale and shear about the image centre.
  void set_matrix(TestMesh& m, std::int32_t width, std::int32_t height) {
    double* a = m.matrix;
    const double third_row[3] = {chance(0.3) ? kNaN : 0.0, real(-2, 2), 1};
    if (chance(0.4)) {
      const double id[6] = {1, 0, 0, 0, 1, 0};
      std::copy(id, id + 6, a);
    } else {
      const double t = real(-3.2, 3.2), sx = real(0.3, 2.5), sy = real(0.3, 2.5),
                   k = real(-0.8, 0.8);
      const double cx = width / 2.0, cy = height / 2.0;
      a[0] = sx * std::cos(t);
      a[1] = k - sy * std::sin(t);
      a[3] = sx * std::sin(t);
      a[4] = sy * std::cos(t);
      a[2] = cx - (a[0] * cx + a[1] * cy) + real(-5, 5);
      a[5] = cy - (a[3] * cx + a[4] * cy) + real(-5, 5);
    }
    if (chance(0.03)) {  // the transform overflows
      a[0] *= 1e306;
      a[4] *= 1e306;
    }
    std::copy(third_row, third_row + 3, a + 6);
  }

  void set_colours(TestMesh& m) {
    const int rows = integer(1, static_cast<int>(m.w * m.h) + 2);
    const double alphas[] = {1, 1, 1, 1, 1, 1, 0, -0.0, 1e-13, -1e-12, kNaN, 1 - 1e-13};
    for (int k = 0; k < rows; ++k) {
      double rgb[3];
      for (double& v : rgb) v = chance(0.05) ? kNaN : real(-0.2, 1.2);
      m.add_colour(rgb[0], rgb[1], rgb[2], alphas[integer(0, 11)]);
    }
  }

};

std::uint8_t reference_byte(double v) {
  if (!(v >= 0)) return 0;  // negative or NaN
  return static_cast<std::uint8_t>(std::round(std::min(v, 1.0) * 255.0));
}

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

struct Reference {
  bool declined = false;
  std::vector<std::uint32_t> pixels;  // device order, as GuardedTarget::pixels
  int cells_drawn = 0;
  int cells_reordered = 0;  // drawn after sorting around the centroid
};

// Cell by cell in mesh order, every pixel of the clip box inside the cell's
// vertex extent, by the edge rule.
Reference reference_draw(const Scene& s) {
  Reference ref;
  ref.pixels.assign(static_cast<std::size_t>(s.width) * s.height, GuardedTarget::fill_colour());
  const TestMesh& m = s.mesh;
  const std::uint64_t rows = m.colours.size() / 4;
  const double* a = m.matrix;
  for (std::uint64_t i = 0; i < m.w * m.h; ++i) {
    const double* rgba = &m.colours[4 * (i % rows)];
    const bool transparent = !std::isnan(rgba[3]) && std::fabs(rgba[3]) <= 1e-12;
    if (transparent) continue;
    const std::uint64_t r = i / m.w, c = i % m.w;
    const std::uint64_t nodes[4][2] = {{r, c}, {r + 1, c}, {r + 1, c + 1}, {r, c + 1}};
    Point p[4];
    for (int k = 0; k < 4; ++k) {
      const double* n = &m.coords[2 * (nodes[k][0] * (m.w + 1) + nodes[k][1])];
      p[k] = {(a[0] * n[0] + a[1] * n[1]) + a[2], (a[3] * n[0] + a[4] * n[1]) + a[5]};
      if (!std::isfinite(p[k].x) || !std::isfinite(p[k].y)) {
        ref.declined = true;
        return ref;
      }
    }
    const bool reordered = !quad_is_convex(p);
    if (reordered) {
      sort_around_centroid(p);
      if (!quad_is_convex(p)) continue;
    }
    const std::uint32_t colour = pack_rgba(reference_byte(rgba[0]), reference_byte(rgba[1]),
                                           reference_byte(rgba[2]), 255);
    double lo_x = kInf, hi_x = -kInf, lo_y = kInf, hi_y = -kInf;
    for (const Point& v : p) {
      lo_x = std::min(lo_x, v.x);
      hi_x = std::max(hi_x, v.x);
      lo_y = std::min(lo_y, v.y);
      hi_y = std::max(hi_y, v.y);
    }
    bool drawn = false;
    for (std::int32_t y = s.clip.y0; y < s.clip.y1; ++y) {
      if (y < std::floor(lo_y) || y >= std::ceil(hi_y)) continue;
      for (std::int32_t x = s.clip.x0; x < s.clip.x1; ++x) {
        if (x < std::floor(lo_x) || x >= std::ceil(hi_x)) continue;
        const double X = x + 0.5, Y = y + 0.5;
        bool pos = false, neg = false;
        for (int k = 0; k < 4; ++k) {
          const Point& s0 = p[k];
          const Point& s1 = p[(k + 1) % 4];
          const double e = (s1.x - s0.x) * (Y - s0.y) - (s1.y - s0.y) * (X - s0.x);
          pos = pos || e > 1e-12;
          neg = neg || e < -1e-12;
        }
        if (pos && neg) continue;
        ref.pixels[static_cast<std::size_t>(y) * s.width + x] = colour;
        drawn = true;
      }
    }
    ref.cells_drawn += drawn;
    ref.cells_reordered += drawn && reordered;
  }
  return ref;
}

TEST(PassesDifferential, MatchReferenceForAnyTaskAndBandCount) {
  int scenes_declined = 0, scenes_painted = 0, cells_painted = 0, cells_reordered = 0;
  const int kScenes = 1500;
  for (int seed = 0; seed < kScenes; ++seed) {
    const Scene s = SceneMaker(seed).make();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    const Reference ref = reference_draw(s);
    scenes_declined += ref.declined;
    scenes_painted += ref.cells_drawn > 0;
    cells_painted += ref.cells_drawn;
    cells_reordered += ref.cells_reordered;

    const std::uint64_t quads = s.mesh.w * s.mesh.h;
    const std::int64_t rows = std::max<std::int64_t>(0, std::int64_t{s.clip.y1} - s.clip.y0);
    for (std::uint64_t tasks : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{3}, quads}) {
      bool finite = true;
      const std::vector<QuadList> lists =
          testing_support::prepare_all(s.mesh, s.clip, tasks, &finite);
      ASSERT_EQ(!finite, ref.declined) << tasks << " tasks";
      if (!finite) continue;
      for (std::uint64_t bands :
           {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{3}, std::uint64_t{7},
            static_cast<std::uint64_t>(rows)}) {
        if (bands == 0) continue;
        GuardedTarget t(s.width, s.height, s.layout.row_pad, s.layout.rows_reversed,
                        s.layout.col_stride);
        testing_support::fill_all(lists, s.clip, bands, t.image());
        ASSERT_EQ(t.pixels(), ref.pixels) << tasks << " tasks, " << bands << " bands";
        ASSERT_TRUE(t.untouched_outside_pixels()) << tasks << " tasks, " << bands << " bands";
      }
    }
  }
  // The generator must reach the interesting cases, or the test proves little.
  printf("%d scenes: %d declined, %d painted; %d cells painted, %d of them reordered\n",
         kScenes, scenes_declined, scenes_painted, cells_painted, cells_reordered);
  EXPECT_GT(scenes_declined, kScenes / 50);
  EXPECT_GT(scenes_painted, kScenes / 3);
  EXPECT_GT(cells_painted, kScenes * 2);
  EXPECT_GT(cells_reordered, kScenes / 10);
}

// The passes as the render job runs them: check_task settles the decision,
// index_bands indexes the bands, each band prepares its own quads from the
// mesh.
TEST(PassesDifferential, MeshFillMatchesReferenceForAnyTaskAndBandCount) {
  int scenes_compared = 0;
  for (int seed = 0; seed < 1500; ++seed) {
    const Scene s = SceneMaker(seed).make();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    const Reference ref = reference_draw(s);
    const std::vector<std::uint32_t> packed = packed_colours(s.mesh);
    const std::uint64_t quads = s.mesh.w * s.mesh.h;
    const std::int32_t rows =
        static_cast<std::int32_t>(std::max<std::int64_t>(0, std::int64_t{s.clip.y1} - s.clip.y0));
    for (std::uint64_t tasks : {std::uint64_t{1}, std::uint64_t{3}, quads}) {
      for (std::uint64_t bands : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{7},
                                  static_cast<std::uint64_t>(rows)}) {
        if (bands > static_cast<std::uint64_t>(rows)) continue;  // the job never asks for more
        BandSplit split{s.clip.y0, rows, bands};
        if (bands > 1 && seed % 3 == 0) {  // cut anywhere, as a split by work may cut
          RandomPicks cuts(seed);
          split.starts.push_back(s.clip.y0);
          for (std::uint64_t b = 1; b < bands; ++b) split.starts.push_back(cuts.integer(s.clip.y0, s.clip.y1));
          split.starts.push_back(s.clip.y1);
          std::sort(split.starts.begin(), split.starts.end());
        }
        std::vector<TaskBands> index;
        const bool finite = testing_support::check_and_index(s.mesh.view(), s.clip, tasks, split, index);
        ASSERT_EQ(!finite, ref.declined) << tasks << " tasks, " << bands << " bands";
        if (ref.declined) continue;
        // Every lane width of the walk, the colours packed on every other seed.
        for (const int lanes : {2, 4, 8}) {
          MeshView view = s.mesh.view();
          if (seed % 2 == 1) view.packed = packed.data();
          GuardedTarget t(s.width, s.height, s.layout.row_pad, s.layout.rows_reversed,
                          s.layout.col_stride);
          for (std::uint64_t b = 0; b < bands; ++b)
            fill_band(view, s.clip, index, split, b, t.image(), lanes);
          SCOPED_TRACE(::testing::Message() << tasks << " tasks, " << bands << " bands, " << lanes
                                            << " lanes");
          ASSERT_EQ(t.pixels(), ref.pixels);
          ASSERT_TRUE(t.untouched_outside_pixels());
        }
        ++scenes_compared;
      }
    }
  }
  EXPECT_GT(scenes_compared, 5000);
}

}  // namespace
}  // namespace quadlite
