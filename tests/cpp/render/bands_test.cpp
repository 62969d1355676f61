// The band split, check_task's decision and its band index.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "reference/reference_passes.hpp"
#include "render/bands.hpp"
#include "render/quads/check_pass.hpp"
#include "render/quads/fill_pass.hpp"
#include "support/failing_allocator.hpp"
#include "support/render_test_support.hpp"

namespace quadlite {
namespace {

using testing_support::GuardedTarget;
using testing_support::TestMesh;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

TEST(BandSplit, EveryRowLiesInTheBandThatCoversIt) {
  for (const std::int32_t first_row : {0, 7, INT32_MAX - 200}) {
    for (std::int32_t rows = 1; rows <= 80; ++rows) {
      for (std::uint64_t bands = 1; bands <= std::min<std::uint64_t>(rows, 12); ++bands) {
        const BandSplit split{first_row, rows, bands};
        ASSERT_EQ(band_start(split, 0), first_row);
        ASSERT_EQ(band_start(split, bands), first_row + rows);
        for (std::uint64_t b = 0; b < bands; ++b) {
          // Bands are never empty when bands <= rows.
          ASSERT_LT(band_start(split, b), band_start(split, b + 1));
          for (std::int32_t row = band_start(split, b); row < band_start(split, b + 1); ++row)
            ASSERT_EQ(band_of_row(split, row), b) << rows << " rows, " << bands << " bands";
        }
      }
    }
  }
}

// Random meshes with the things that make a job decline or not.
TestMesh random_mesh(std::uint64_t seed, ClipBox* clip) {
  std::mt19937_64 rng(seed);
  const auto real = [&](double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  const auto integer = [&](int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(rng);
  };
  TestMesh m(integer(1, 9), integer(1, 9));
  const double cell = real(0.3, 6);
  for (std::uint64_t r = 0; r <= m.h; ++r)
    for (std::uint64_t c = 0; c <= m.w; ++c)
      m.set_node(r, c, c * cell + real(-0.4, 0.4) * cell, r * cell + real(-0.4, 0.4) * cell);
  const double alphas[] = {1, 1, 1, 0, -0.0, 1e-13, kNaN};
  const int colours = integer(1, static_cast<int>(m.w * m.h) + 1);
  for (int k = 0; k < colours; ++k) m.add_colour(real(0, 1), real(0, 1), real(0, 1), alphas[integer(0, 6)]);
  switch (integer(0, 5)) {
    case 0: m.node(integer(0, m.h), integer(0, m.w))[integer(0, 1)] = kNaN; break;
    case 1: m.node(integer(0, m.h), integer(0, m.w))[integer(0, 1)] = -kInf; break;
    case 2: m.node(integer(0, m.h), integer(0, m.w))[0] = 1e306; m.matrix[0] = 1e3; break;
    case 3: m.matrix[integer(0, 5)] = kNaN; break;
    case 4: m.matrix[6] = kNaN; m.matrix[1] = real(-1, 1); break;  // row 2 is never read
    default: break;
  }
  const std::int32_t size = static_cast<std::int32_t>(std::max(m.w, m.h) * cell) + 2;
  *clip = ClipBox{integer(0, 3), integer(size / 2, size), integer(0, 3), integer(size / 2, size)};
  return m;
}

bool prepare_declines(const TestMesh& m, const ClipBox& clip, std::uint64_t tasks) {
  bool finite = true;
  testing_support::prepare_all(m, clip, tasks, &finite);
  return !finite;
}

bool check_declines(const TestMesh& m, const ClipBox& clip, std::uint64_t tasks,
                    std::uint64_t bands, std::vector<TaskBands>* index) {
  const BandSplit split{clip.y0, std::max(0, clip.y1 - clip.y0), bands};
  index->assign(bands > 1 ? tasks : 0, TaskBands{});
  std::atomic<bool> finite{true};
  for (std::uint64_t t = 0; t < tasks; ++t)
    check_and_index(m.view(), clip, t, tasks, finite, split, index->empty() ? nullptr : &(*index)[t]);
  return !finite.load();
}

TEST(CheckTask, DeclinesExactlyWhenThePreparePassWould) {
  int declined = 0;
  for (std::uint64_t seed = 0; seed < 3000; ++seed) {
    ClipBox clip;
    const TestMesh m = random_mesh(seed, &clip);
    for (const std::uint64_t tasks : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{5}}) {
      const bool want = prepare_declines(m, clip, tasks);
      declined += want;
      std::vector<TaskBands> index;
      for (const std::uint64_t bands : {std::uint64_t{1}, std::uint64_t{3}})
        ASSERT_EQ(check_declines(m, clip, tasks, bands, &index), want)
            << "seed " << seed << ", " << tasks << " tasks, " << bands << " bands";
    }
  }
  EXPECT_GT(declined, 1500);  // both outcomes are common
  EXPECT_LT(declined, 7500);
}

// The quads whose clipped box reaches band b, by a separate route: mapped
// nodes, floor and ceil, clamps.
std::vector<std::vector<std::uint64_t>> quads_by_band(const TestMesh& m, const ClipBox& clip,
                                                      const BandSplit& split) {
  std::vector<std::vector<std::uint64_t>> out(split.bands);
  const double* a = m.matrix;
  for (std::uint64_t i = 0; i < m.w * m.h; ++i) {
    const double alpha = m.colours[4 * (i % (m.colours.size() / 4)) + 3];
    if (std::fabs(alpha) <= 1e-12) continue;
    const std::uint64_t r = i / m.w, c = i % m.w;
    double lo = kInf, hi = -kInf;
    for (const auto& n : {std::pair<std::uint64_t, std::uint64_t>{r, c}, {r + 1, c},
                          {r + 1, c + 1}, {r, c + 1}}) {
      const double* v = &m.coords[2 * (n.first * (m.w + 1) + n.second)];
      const double y = (a[3] * v[0] + a[4] * v[1]) + a[5];
      lo = std::min(lo, y);
      hi = std::max(hi, y);
    }
    double lo_x = kInf, hi_x = -kInf;
    for (const auto& n : {std::pair<std::uint64_t, std::uint64_t>{r, c}, {r + 1, c},
                          {r + 1, c + 1}, {r, c + 1}}) {
      const double* v = &m.coords[2 * (n.first * (m.w + 1) + n.second)];
      const double x = (a[0] * v[0] + a[1] * v[1]) + a[2];
      lo_x = std::min(lo_x, x);
      hi_x = std::max(hi_x, x);
    }
    const std::int32_t x0 = std::max(clip.x0, lower_bound_px(lo_x));
    const std::int32_t x1 = std::min(upper_bound_px(hi_x), clip.x1);
    const std::int32_t y0 = std::max(clip.y0, lower_bound_px(lo));
    const std::int32_t y1 = std::min(upper_bound_px(hi), clip.y1);
    if (x0 >= x1 || y0 >= y1) continue;
    for (std::uint64_t b = 0; b < split.bands; ++b)
      if (y0 < band_start(split, b + 1) && band_start(split, b) < y1) out[b].push_back(i);
  }
  return out;
}

TEST(CheckTask, IndexHoldsExactlyTheQuadsReachingEachBandInMeshOrder) {
  int entries = 0, spanning = 0;
  for (std::uint64_t seed = 0; seed < 1500; ++seed) {
    ClipBox clip;
    TestMesh m = random_mesh(seed, &clip);
    std::copy_n(std::vector<double>{1, 0, 0, 0, 1, 0}.begin(), 6, m.matrix);  // finite map
    for (double& v : m.coords)
      if (!std::isfinite(v) || std::fabs(v) > 1e6) v = 1.0;
    if (clip.y1 - clip.y0 < 2) continue;
    for (const std::uint64_t tasks : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{3}}) {
      for (const std::uint64_t bands : {std::uint64_t{2}, std::uint64_t{3}, std::uint64_t{7}}) {
        const BandSplit split{clip.y0, clip.y1 - clip.y0,
                              std::min<std::uint64_t>(bands, clip.y1 - clip.y0)};
        std::vector<TaskBands> index;
        ASSERT_FALSE(check_declines(m, clip, tasks, split.bands, &index));
        const auto want = quads_by_band(m, clip, split);
        for (std::uint64_t b = 0; b < split.bands; ++b) {
          std::vector<std::uint64_t> got;
          for (const TaskBands& t : index) {
            ASSERT_TRUE(t.complete);
            for (const std::uint32_t offset : t.by_band[b]) got.push_back(t.first_quad + offset);
          }
          ASSERT_EQ(got, want[b]) << "seed " << seed << ", band " << b << " of " << split.bands;
          entries += static_cast<int>(got.size());
          if (b > 0)
            for (const std::uint64_t q : got)
              spanning += std::count(want[b - 1].begin(), want[b - 1].end(), q) > 0;
        }
      }
    }
  }
  EXPECT_GT(entries, 100000);
  EXPECT_GT(spanning, 10000);  // quads reaching several bands are indexed in each
}

// A band walks a task's whole range when its index could not be built;
// the image is the same.
TEST(CheckTask, RunningOutOfMemoryWhileIndexingKeepsTheImage) {
  for (std::uint64_t seed = 0; seed < 60; ++seed) {
    ClipBox clip;
    TestMesh m = random_mesh(seed, &clip);
    for (std::size_t k = 3; k < m.colours.size(); k += 4) m.colours[k] = 1.0;
    for (double& v : m.coords)
      if (!std::isfinite(v) || std::fabs(v) > 1e6) v = 1.0;
    std::copy_n(std::vector<double>{1, 0, 0.5, 0, 1, 0.25}.begin(), 6, m.matrix);
    const std::int32_t size = std::max(clip.x1, clip.y1);
    const std::int32_t rows = clip.y1 - clip.y0;
    if (rows < 3) continue;
    const BandSplit split{clip.y0, rows, 3};

    GuardedTarget expected(size, size);
    testing_support::draw(m, clip, 2, 3, expected.image());

    for (long allowed = 0; allowed < 12; ++allowed) {
      std::vector<TaskBands> index(2);
      std::atomic<bool> finite{true};
      testing_support::fail_allocations_after(allowed);
      for (std::uint64_t t = 0; t < 2; ++t) check_and_index(m.view(), clip, t, 2, finite, split, &index[t]);
      testing_support::fail_allocations_after(-1);
      ASSERT_TRUE(finite.load());
      GuardedTarget t(size, size);
      for (std::uint64_t b = 0; b < 3; ++b) fill_band(m.view(), clip, index, split, b, t.image());
      ASSERT_EQ(t.pixels(), expected.pixels()) << "seed " << seed << ", " << allowed << " allowed";
      if (allowed == 0) {
        EXPECT_FALSE(index[0].complete);
        EXPECT_TRUE(index[0].by_band.empty());
      }
    }
  }
}

}  // namespace
}  // namespace quadlite
