// The band split, check_task's decision and its band index.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "reference/reference_passes.hpp"
#include "render/bands.hpp"
#include "render/cpu_features.hpp"
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

// Splits cut anywhere, empty bands included: every row in the one band that
// holds it.
TEST(BandSplit, CutAnywhereEveryRowLiesInTheBandThatHoldsIt) {
  std::mt19937_64 rng(5);
  for (int trial = 0; trial < 2000; ++trial) {
    const std::int32_t first_row = std::uniform_int_distribution<std::int32_t>(-50, 50)(rng);
    const std::int32_t rows = std::uniform_int_distribution<std::int32_t>(1, 60)(rng);
    const std::uint64_t bands = std::uniform_int_distribution<std::uint64_t>(2, 9)(rng);
    BandSplit split{first_row, rows, bands};
    for (std::uint64_t b = 0; b <= bands; ++b)
      split.starts.push_back(first_row + std::uniform_int_distribution<std::int32_t>(0, rows)(rng));
    std::sort(split.starts.begin(), split.starts.end());
    split.starts.front() = first_row;
    split.starts.back() = first_row + rows;
    for (std::int32_t row = first_row; row < first_row + rows; ++row) {
      const std::uint64_t b = band_of_row(split, row);
      ASSERT_LT(b, bands);
      ASSERT_LE(band_start(split, b), row);
      ASSERT_LT(row, band_start(split, b + 1));
    }
  }
}

// The work of band b of `split` by the runs' rows.
std::vector<double> band_work(const BandSplit& split, const std::vector<RowWork>& runs) {
  std::vector<double> out(split.bands, 0.0);
  std::int32_t row = split.first_row;
  for (const RowWork& run : runs)
    for (std::int32_t k = 0; k < run.rows; ++k, ++row) out[band_of_row(split, row)] += run.per_row;
  return out;
}

TEST(SplitByWork, BandsHoldEvenWorkUpToOneGrainOfRows) {
  std::mt19937_64 rng(11);
  int uneven_inputs = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const auto integer = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<RowWork> runs;
    std::int32_t rows = 0;
    double heaviest_row = 0;
    for (int k = integer(1, 12); k > 0; --k) {
      const RowWork run{integer(1, 40), integer(0, 3) == 0 ? 0.0 : std::exp(integer(-3, 6))};
      runs.push_back(run);
      rows += run.rows;
      heaviest_row = std::max(heaviest_row, run.per_row);
    }
    const std::int32_t grain = integer(0, 2) == 0 ? 1 << integer(1, 3) : 1;
    BandSplit split{integer(-20, 20), rows, std::uint64_t(integer(2, 9))};
    split_by_work(split, runs, grain);
    if (heaviest_row == 0) {
      EXPECT_TRUE(split.starts.empty()) << "no work: equal bands";
      continue;
    }
    ASSERT_EQ(split.starts.size(), split.bands + 1);
    ASSERT_EQ(split.starts.front(), split.first_row);
    ASSERT_EQ(split.starts.back(), split.first_row + rows);
    for (std::uint64_t b = 0; b < split.bands; ++b) {
      ASSERT_LE(split.starts[b], split.starts[b + 1]);
      if (b > 0 && split.starts[b] != split.first_row + rows) {
        ASSERT_EQ((split.starts[b] - split.first_row) % grain, 0);
      }
    }
    const std::vector<double> work = band_work(split, runs);
    double total = 0;
    for (double w : work) total += w;
    const double mean = total / static_cast<double>(split.bands);
    // Each cut lies within a grain's worth of rows, half on either side, of
    // where the work is shared evenly, give or take a row's rounding.
    const double slack = (grain + 1) * heaviest_row;
    for (double w : work) ASSERT_LE(w, mean + 2 * slack) << "trial " << trial;
    uneven_inputs += runs.size() > 1;
  }
  EXPECT_GT(uneven_inputs, 2000);
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

// The gathering widths this processor runs: 2 always, 4 and 8 where it can.
std::vector<int> check_widths() {
  std::vector<int> out{2};
  if (cpu_has_avx2) out.push_back(4);
  if (cpu_has_avx512) out.push_back(8);
  return out;
}

// check_and_index with the quads gathered `lanes` at a time.
bool check_and_index_at(const MeshView& mesh, const ClipBox& clip, std::uint64_t tasks,
                        const BandSplit& split, std::vector<TaskBands>& index, int lanes) {
  const std::int64_t rows = std::max<std::int64_t>(0, std::int64_t{clip.y1} - clip.y0);
  const RowBuckets buckets = row_buckets(clip.y0, static_cast<std::int32_t>(rows), split.bands);
  std::vector<TaskRows> found(split.bands > 1 ? tasks : 0);
  std::atomic<bool> finite{true};
  for (std::uint64_t t = 0; t < tasks; ++t)
    check_task(mesh, clip, t, tasks, finite, buckets, found.empty() ? nullptr : &found[t], lanes);
  index.assign(found.size(), TaskBands{});
  if (!finite.load()) return false;
  for (std::size_t t = 0; t < found.size(); ++t) index_bands(found[t], buckets, split, index[t]);
  return true;
}

bool check_declines(const TestMesh& m, const ClipBox& clip, std::uint64_t tasks,
                    std::uint64_t bands, std::vector<TaskBands>* index, int lanes) {
  const BandSplit split{clip.y0, std::max(0, clip.y1 - clip.y0), bands};
  return !check_and_index_at(m.view(), clip, tasks, split, *index, lanes);
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
      for (const int lanes : check_widths())
        for (const std::uint64_t bands : {std::uint64_t{1}, std::uint64_t{3}})
          ASSERT_EQ(check_declines(m, clip, tasks, bands, &index, lanes), want)
              << "seed " << seed << ", " << tasks << " tasks, " << bands << " bands, " << lanes
              << " lanes";
    }
  }
  EXPECT_GT(declined, 1500);  // both outcomes are common
  EXPECT_LT(declined, 7500);
}

// Meshes with rows of up to 40 quads (whole groups of eight and short ones),
// and in some groups quads that are transparent, not finite (transparent
// or not), huge enough that sums of their coordinates overflow, or outside
// the clip box.
TestMesh wide_mesh(std::uint64_t seed, ClipBox* clip) {
  std::mt19937_64 rng(seed);
  const auto real = [&](double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  const auto integer = [&](int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(rng);
  };
  TestMesh m(integer(1, 40), integer(1, 12));
  const double cell = real(0.2, 4), slope = real(-1.5, 1.5);
  for (std::uint64_t r = 0; r <= m.h; ++r)
    for (std::uint64_t c = 0; c <= m.w; ++c)
      m.set_node(r, c, c * cell + real(-0.4, 0.4) * cell,
                 r * cell + slope * c * cell + real(-0.4, 0.4) * cell);
  const double alphas[] = {1, 1, 1, 1, 0, 1e-13, kNaN};
  for (std::uint64_t k = 0; k < m.w * m.h; ++k)
    m.add_colour(real(0, 1), real(0, 1), real(0, 1), alphas[integer(0, 6)]);
  for (int odd = integer(0, 3); odd > 0; --odd) {
    double* node = m.node(integer(0, m.h), integer(0, m.w));
    const double values[] = {kNaN, kInf, -kInf, 1.7e308, -1.7e308};
    node[integer(0, 1)] = values[integer(0, 4)];
  }
  const auto extent = static_cast<std::int32_t>(static_cast<double>(m.w + m.h) * cell * 2.5) + 4;
  *clip = ClipBox{integer(0, 3), integer(extent / 4, extent), integer(-extent / 2, 3),
                  integer(extent / 4, extent)};
  clip->y0 = std::max(clip->y0, 0);
  std::copy_n(std::vector<double>{1, 0, 0.5, 0, 1, real(0, 2.0 * extent / 3)}.begin(), 6, m.matrix);
  return m;
}

// Every width gathers what the plain kernel gathers: the same decision, the
// same stretches and bit for bit the same work, so that the bands do not
// depend on the processor; over tasks that start and end inside mesh rows.
TEST(CheckTask, EveryWidthGathersWhatThePlainKernelGathers) {
  const std::vector<int> widths = check_widths();
  int compared = 0, declined = 0, stretches = 0;
  for (std::uint64_t seed = 0; seed < 2500; ++seed) {
    ClipBox clip;
    const TestMesh m = wide_mesh(seed, &clip);
    const std::int32_t rows = std::max(0, clip.y1 - clip.y0);
    for (const std::uint64_t tasks : {std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{7}}) {
      const std::uint64_t bands = 2 + seed % 7;
      const RowBuckets buckets = row_buckets(clip.y0, rows, bands);
      std::vector<TaskRows> plain(tasks);
      std::atomic<bool> plain_finite{true};
      for (std::uint64_t t = 0; t < tasks; ++t)
        check_task(m.view(), clip, t, tasks, plain_finite, buckets, &plain[t], 2);
      declined += !plain_finite.load();
      for (const int lanes : widths) {
        std::vector<TaskRows> wide(tasks);
        std::atomic<bool> finite{true};
        for (std::uint64_t t = 0; t < tasks; ++t)
          check_task(m.view(), clip, t, tasks, finite, buckets, &wide[t], lanes);
        ASSERT_EQ(finite.load(), plain_finite.load()) << "seed " << seed << ", " << lanes;
        if (!finite.load()) continue;  // what was found before the decline is not used
        for (std::uint64_t t = 0; t < tasks; ++t) {
          SCOPED_TRACE(::testing::Message() << "seed " << seed << ", task " << t << " of "
                                            << tasks << ", " << lanes << " lanes");
          ASSERT_EQ(wide[t].complete, plain[t].complete);
          ASSERT_EQ(wide[t].stretches.size(), plain[t].stretches.size());
          for (std::size_t k = 0; k < wide[t].stretches.size(); ++k) {
            const QuadStretch &a = wide[t].stretches[k], &b = plain[t].stretches[k];
            ASSERT_EQ(a.begin, b.begin);
            ASSERT_EQ(a.end, b.end);
            ASSERT_EQ(a.first_bucket, b.first_bucket);
            ASSERT_EQ(a.last_bucket, b.last_bucket);
          }
          ASSERT_EQ(wide[t].work.size(), plain[t].work.size());
          if (!wide[t].work.empty()) {
            ASSERT_EQ(std::memcmp(wide[t].work.data(), plain[t].work.data(),
                                  sizeof(double) * wide[t].work.size()),
                      0);
          }
          stretches += static_cast<int>(wide[t].stretches.size());
          compared += lanes > 2;
        }
      }
    }
  }
  if (widths.size() > 1) {
    EXPECT_GT(compared, 5000);
  }
  EXPECT_GT(declined, 500);
  EXPECT_GT(stretches, 20000);
}

// The quads whose clipped box reaches band b, by a separate route: mapped
// nodes, floor and ceil, clamps. Transparent quads too: the index holds
// them, so that the check need not read the colours.
std::vector<std::vector<std::uint64_t>> quads_by_band(const TestMesh& m, const ClipBox& clip,
                                                      const BandSplit& split) {
  std::vector<std::vector<std::uint64_t>> out(split.bands);
  const double* a = m.matrix;
  for (std::uint64_t i = 0; i < m.w * m.h; ++i) {
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
      if (std::max(y0, band_start(split, b)) < std::min(y1, band_start(split, b + 1)))
        out[b].push_back(i);
  }
  return out;
}

TEST(CheckTask, IndexHoldsEveryQuadReachingEachBandInMeshOrder) {
  int entries = 0, spanning = 0, extra = 0;
  for (std::uint64_t seed = 0; seed < 1500; ++seed) {
    ClipBox clip;
    TestMesh m = random_mesh(seed, &clip);
    std::copy_n(std::vector<double>{1, 0, 0, 0, 1, 0}.begin(), 6, m.matrix);  // finite map
    for (double& v : m.coords)
      if (!std::isfinite(v) || std::fabs(v) > 1e6) v = 1.0;
    if (clip.y1 - clip.y0 < 2) continue;
    std::mt19937_64 cuts(seed);
    for (const std::uint64_t tasks : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{3}}) {
      for (const std::uint64_t bands : {std::uint64_t{2}, std::uint64_t{3}, std::uint64_t{7}}) {
        BandSplit split{clip.y0, clip.y1 - clip.y0,
                        std::min<std::uint64_t>(bands, clip.y1 - clip.y0)};
        // Equal bands for even seeds; for odd ones cut anywhere, as a split
        // by work may cut, empty bands included.
        if (seed % 2 == 1) {
          split.starts.push_back(clip.y0);
          for (std::uint64_t b = 1; b < split.bands; ++b)
            split.starts.push_back(std::uniform_int_distribution<std::int32_t>(clip.y0, clip.y1)(cuts));
          split.starts.push_back(clip.y1);
          std::sort(split.starts.begin(), split.starts.end());
        }
        const int lanes = check_widths()[seed % check_widths().size()];
        std::vector<TaskBands> index;
        ASSERT_TRUE(check_and_index_at(m.view(), clip, tasks, split, index, lanes));
        const auto want = quads_by_band(m, clip, split);
        for (std::uint64_t b = 0; b < split.bands; ++b) {
          std::vector<std::uint64_t> got;
          for (const TaskBands& t : index) {
            ASSERT_TRUE(t.complete);
            for (const QuadRun& run : t.by_band[b]) {
              ASSERT_LT(run.begin, run.end);
              ASSERT_LE(t.first_quad + run.end, t.end_quad);
              for (std::uint32_t k = run.begin; k < run.end; ++k) got.push_back(t.first_quad + k);
            }
          }
          // Ascending, so in mesh order and without repeats; every quad
          // that reaches the band among them.
          ASSERT_TRUE(std::is_sorted(got.begin(), got.end()));
          ASSERT_EQ(std::adjacent_find(got.begin(), got.end()), got.end());
          ASSERT_TRUE(std::includes(got.begin(), got.end(), want[b].begin(), want[b].end()))
              << "seed " << seed << ", band " << b << " of " << split.bands;
          entries += static_cast<int>(want[b].size());
          extra += static_cast<int>(got.size() - want[b].size());
          if (b > 0)
            for (const std::uint64_t q : want[b])
              spanning += std::count(want[b - 1].begin(), want[b - 1].end(), q) > 0;
        }
      }
    }
  }
  EXPECT_GT(entries, 100000);
  EXPECT_GT(spanning, 10000);  // quads reaching several bands are indexed in each
  EXPECT_LT(extra, entries / 3);  // and few that reach none
}

// The bands share the rows the mesh covers, not the clip box's rows: with
// the mesh over the lowest quarter, every cut lies inside that quarter (equal
// bands would cut at 25, 50 and 75), and each band holds about as many quads.
TEST(CheckTask, BandsAreCutByTheWorkFound) {
  TestMesh m(40, 10);
  for (std::uint64_t r = 0; r <= m.h; ++r)
    for (std::uint64_t c = 0; c <= m.w; ++c)
      m.set_node(r, c, 2.5 * c + 0.3 * std::sin(7.0 * r + c), 2.5 * r + 0.3 * std::cos(3.0 * c + r));
  m.add_colour(1, 0, 0, 1);
  const ClipBox clip{0, 100, 0, 100};
  const RowBuckets buckets = row_buckets(0, 100, 4);
  for (const std::uint64_t tasks : {std::uint64_t{1}, std::uint64_t{3}}) {
    std::vector<TaskRows> found(tasks);
    std::atomic<bool> finite{true};
    for (std::uint64_t t = 0; t < tasks; ++t) check_task(m.view(), clip, t, tasks, finite, buckets, &found[t]);
    ASSERT_TRUE(finite.load());
    BandSplit split{0, 100, 4};
    split_by_found_work(found, buckets, split);
    ASSERT_EQ(split.starts.size(), 5u);
    EXPECT_EQ(split.starts[0], 0);
    for (std::uint64_t b = 1; b < 4; ++b) {
      EXPECT_GT(split.starts[b], split.starts[b - 1]);
      EXPECT_LE(split.starts[b], 26) << "cut " << b;
    }
    EXPECT_EQ(split.starts[4], 100);
    std::vector<TaskBands> index(tasks);
    for (std::uint64_t t = 0; t < tasks; ++t) index_bands(found[t], buckets, split, index[t]);
    for (std::uint64_t b = 0; b < 4; ++b) {
      std::size_t quads = 0;
      for (const TaskBands& t : index)
        for (const QuadRun& run : t.by_band[b]) quads += run.end - run.begin;
      // About a quarter of the 400 quads each, some in two bands (their
      // boxes, or their stretches, reach both); equal bands would give the
      // first all of them.
      EXPECT_GT(quads, 80u) << "band " << b;
      EXPECT_LT(quads, 250u) << "band " << b;
    }
  }
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
    const RowBuckets buckets = row_buckets(clip.y0, rows, 3);

    GuardedTarget expected(size, size);
    testing_support::draw(m, clip, 2, 3, expected.image());

    for (long allowed = 0; allowed < 12; ++allowed) {
      std::vector<TaskRows> found(2);
      std::vector<TaskBands> index(2);
      std::atomic<bool> finite{true};
      testing_support::fail_allocations_after(allowed);
      for (std::uint64_t t = 0; t < 2; ++t) check_task(m.view(), clip, t, 2, finite, buckets, &found[t]);
      for (std::uint64_t t = 0; t < 2; ++t) index_bands(found[t], buckets, split, index[t]);
      testing_support::fail_allocations_after(-1);
      ASSERT_TRUE(finite.load());
      GuardedTarget t(size, size);
      for (std::uint64_t b = 0; b < 3; ++b) fill_band(m.view(), clip, index, split, b, t.image());
      ASSERT_EQ(t.pixels(), expected.pixels()) << "seed " << seed << ", " << allowed << " allowed";
      if (allowed == 0) {
        EXPECT_FALSE(found[0].complete);
        EXPECT_FALSE(index[0].complete);
        EXPECT_TRUE(index[0].by_band.empty());
      }
    }
  }
}

}  // namespace
}  // namespace quadlite
