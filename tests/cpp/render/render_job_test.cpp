#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "pool/worker_pool.hpp"
#include "reference/reference_passes.hpp"
#include "render/render_job.hpp"

namespace quadlite {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Runs the body in place and counts how often the job stepped out of the lock.
struct CountingUnlock {
  int* calls;
  template <class Body>
  void operator()(Body&& body) const {
    ++*calls;
    body();
  }
};

// A mesh and a target with its own storage.
struct Scene {
  std::uint64_t w = 0, h = 0;
  std::vector<double> coords, colours;
  double matrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  double extents[4] = {0, 0, 0, 0};
  std::int32_t rows = 0, cols = 0;
  std::int64_t row_stride = 0;
  std::vector<std::uint8_t> pixels;

  RenderInputs inputs() {
    RenderInputs in;
    in.mesh.width = w;
    in.mesh.height = h;
    in.mesh.coords = coords.data();
    in.mesh.colours = colours.data();
    in.mesh.colour_rows = static_cast<std::int64_t>(colours.size() / 4);
    in.mesh.matrix = matrix;
    for (int k = 0; k < 4; ++k) in.extents[k] = extents[k];
    in.target.data = pixels.data();
    in.target.height = rows;
    in.target.width = cols;
    in.target.row_stride = row_stride;
    in.target.col_stride = 4;
    return in;
  }
};

Scene random_scene(std::uint32_t seed) {
  std::mt19937 rng(seed);
  auto uni = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
  auto pick = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
  Scene s;
  s.w = static_cast<std::uint64_t>(pick(1, 14));
  s.h = static_cast<std::uint64_t>(pick(1, 14));
  s.rows = pick(1, 48);
  s.cols = pick(1, 48);
  s.row_stride = 4 * (s.cols + pick(0, 3));
  s.pixels.resize(static_cast<std::size_t>(s.row_stride) * static_cast<std::size_t>(s.rows));
  for (auto& b : s.pixels) b = static_cast<std::uint8_t>(rng());
  const double jitter = uni(0.0, 0.8);
  for (std::uint64_t r = 0; r <= s.h; ++r)
    for (std::uint64_t c = 0; c <= s.w; ++c) {
      s.coords.push_back(static_cast<double>(c) + uni(-jitter, jitter));
      s.coords.push_back(static_cast<double>(r) + uni(-jitter, jitter));
    }
  const double angle = uni(-3.2, 3.2), scale = uni(0.2, 6.0), shear = uni(-0.5, 0.5);
  const double m[9] = {scale * std::cos(angle), scale * (shear - std::sin(angle)), uni(-10, 40),
                       scale * std::sin(angle), scale * std::cos(angle), uni(-10, 40),
                       0, 0, 1};
  for (int k = 0; k < 9; ++k) s.matrix[k] = m[k];
  const int n_colours = pick(1, static_cast<int>(s.w * s.h) + 3);
  for (int k = 0; k < n_colours; ++k) {
    for (int c = 0; c < 3; ++c) s.colours.push_back(uni(-0.2, 1.2));
    s.colours.push_back(pick(0, 4) == 0 ? 0.0 : 1.0);
  }
  s.extents[0] = uni(-5, 20);
  s.extents[1] = uni(-5, 20);
  s.extents[2] = uni(10, 60);
  s.extents[3] = uni(10, 60);
  return s;
}

// Meshes whose work is spread unevenly over the rows, the kind the bands
// are cut by work for: an annulus (dense inner rings), a jittered mesh over
// a corner of the clip box only, an axis-aligned grid whose cells grow along
// both axes (drawn as a grid), and the same grid turned (drawn cell by cell).
Scene uneven_scene(std::uint32_t seed) {
  std::mt19937 rng(seed);
  auto uni = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
  auto pick = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
  Scene s;
  s.w = static_cast<std::uint64_t>(pick(4, 60));
  s.h = static_cast<std::uint64_t>(pick(4, 60));
  s.rows = pick(40, 200);
  s.cols = pick(40, 200);
  s.row_stride = 4 * s.cols;
  s.pixels.assign(static_cast<std::size_t>(s.row_stride) * static_cast<std::size_t>(s.rows), 7);
  const double pi = 3.14159265358979323846;
  const int kind = static_cast<int>(seed % 4);
  const double growth = uni(1.0, 1.15);
  for (std::uint64_t r = 0; r <= s.h; ++r)
    for (std::uint64_t c = 0; c <= s.w; ++c) {
      double x = static_cast<double>(c), y = static_cast<double>(r);
      if (kind == 1) {  // off the grid: drawn cell by cell
        x += uni(-0.3, 0.3);
        y += uni(-0.3, 0.3);
      } else if (kind == 0) {  // rings from radius 0.05 to 1 of the unit disc
        const double radius = 0.05 + 0.95 * y / static_cast<double>(s.h);
        const double angle = 2 * pi * x / static_cast<double>(s.w) + radius;
        x = radius * std::cos(angle);
        y = radius * std::sin(angle);
      } else if (kind >= 2) {  // cells growing by `growth` along both axes
        x = (std::pow(growth, x) - 1) / (growth - 1 + 1e-9);
        y = (std::pow(growth, y) - 1) / (growth - 1 + 1e-9);
      }
      s.coords.push_back(x);
      s.coords.push_back(y);
    }
  // The mesh's extent, mapped onto all or part of the target.
  double lo[2] = {1e300, 1e300}, hi[2] = {-1e300, -1e300};
  for (std::size_t k = 0; k < s.coords.size(); ++k) {
    lo[k % 2] = std::min(lo[k % 2], s.coords[k]);
    hi[k % 2] = std::max(hi[k % 2], s.coords[k]);
  }
  const double part = kind == 1 ? uni(0.15, 0.4) : 1.0;
  const double sx = part * s.cols / (hi[0] - lo[0]), sy = part * s.rows / (hi[1] - lo[1]);
  const double turn = kind == 3 ? uni(0.05, 0.5) : 0.0;
  const double m[9] = {sx * std::cos(turn), -sy * std::sin(turn), -lo[0] * sx,
                       sx * std::sin(turn), sy * std::cos(turn), -lo[1] * sy,
                       0, 0, 1};
  for (int k = 0; k < 9; ++k) s.matrix[k] = m[k];
  for (std::uint64_t k = 0; k < s.w * s.h; ++k) {
    for (int c = 0; c < 3; ++c) s.colours.push_back(uni(0, 1));
    s.colours.push_back(pick(0, 6) == 0 ? 0.0 : 1.0);
  }
  s.extents[2] = s.cols;
  s.extents[3] = s.rows;
  return s;
}

// Draws through the pool however small the scene (pool_from 0), unless told.
std::vector<std::uint8_t> draw_with(WorkerPool& pool, Scene s, std::uint64_t pool_from = 0) {
  int unlocks = 0;
  EXPECT_TRUE(render_job(s.inputs(), CountingUnlock{&unlocks}, &pool, pool_from));
  EXPECT_EQ(unlocks, 2);
  return s.pixels;
}

TEST(RenderJob, ImageDoesNotDependOnWorkerCount) {
  WorkerPool one(1), two(2), three(3), eight(8);
  for (std::uint32_t seed = 1; seed <= 60; ++seed) {
    const Scene scene = random_scene(seed);
    const auto expected = draw_with(one, scene);
    EXPECT_EQ(draw_with(two, scene), expected) << "seed " << seed;
    EXPECT_EQ(draw_with(three, scene), expected) << "seed " << seed;
    EXPECT_EQ(draw_with(eight, scene), expected) << "seed " << seed;
    // Small jobs run on the calling thread by default.
    EXPECT_EQ(draw_with(eight, scene, kPoolWorthwhile), expected) << "seed " << seed;
  }
}

// A small job does not wait for the pool: with every worker held busy it
// still finishes. (Were it queued, it would wait for the release below,
// which only its return or, as a safeguard, the watchdog gives.)
TEST(RenderJob, SmallJobsRunOnTheCallingThread) {
  WorkerPool pool(2);
  std::mutex m;
  std::condition_variable cv;
  bool released = false, by_watchdog = false;
  std::thread occupier([&] {
    pool.parallel_for(2, [&](std::uint64_t) {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return released; });
    });
  });
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(20), [&] { return released; })) {
      released = by_watchdog = true;
      cv.notify_all();
    }
  });
  const Scene scene = random_scene(3);
  draw_with(pool, scene, kPoolWorthwhile);
  {
    std::lock_guard<std::mutex> lock(m);
    released = true;
  }
  cv.notify_all();
  occupier.join();
  watchdog.join();
  EXPECT_FALSE(by_watchdog);
}

// The same bytes as prepared records filled band by band, the two passes in
// their plainest form (their own tests compare them with the pixel rule).
std::vector<std::uint8_t> draw_from_records(Scene s) {
  const RenderInputs in = s.inputs();
  const ClipBox clip = clip_box_from_extents(in.extents, in.target.width, in.target.height);
  std::vector<QuadList> lists(1);
  std::atomic<bool> finite{true};
  prepare_task(in.mesh, clip, 0, 1, lists[0], finite);
  EXPECT_TRUE(finite.load());
  const std::int32_t rows = std::max(0, clip.y1 - clip.y0);
  fill_records_band(lists, clip.y0, rows, 0, 1, in.target);
  return s.pixels;
}

TEST(RenderJob, ImageIsThatOfTheRecordPasses) {
  WorkerPool one(1), three(3), eight(8);
  int painted = 0;
  for (std::uint32_t seed = 200; seed < 400; ++seed) {
    const Scene scene = random_scene(seed);
    const auto expected = draw_from_records(scene);
    painted += expected != scene.pixels;
    EXPECT_EQ(draw_with(one, scene), expected) << "seed " << seed;
    EXPECT_EQ(draw_with(three, scene), expected) << "seed " << seed;
    EXPECT_EQ(draw_with(eight, scene), expected) << "seed " << seed;
  }
  EXPECT_GT(painted, 30);  // many scenes lie outside their clip box
}

// The scene's colours packed as the intake packs them.
std::vector<std::uint32_t> packed_colours(const Scene& s) {
  std::vector<std::uint32_t> packed(s.colours.size() / 4);
  EXPECT_TRUE(alphas_binary(s.colours.data(), 0, packed.size(), packed.data()));
  return packed;
}

// Draws through the pool with the colours packed once, as the module does.
std::vector<std::uint8_t> draw_packed_with(WorkerPool& pool, Scene s) {
  const std::vector<std::uint32_t> packed = packed_colours(s);
  RenderInputs in = s.inputs();
  in.mesh.packed = packed.data();
  int unlocks = 0;
  EXPECT_TRUE(render_job(in, CountingUnlock{&unlocks}, &pool, 0));
  return s.pixels;
}

TEST(RenderJob, ImageOfAnUnevenMeshDoesNotDependOnWorkerCount) {
  WorkerPool one(1), two(2), three(3), four(4), eight(8), sixteen(16);
  int painted = 0;
  for (std::uint32_t seed = 1; seed <= 80; ++seed) {
    const Scene scene = uneven_scene(seed);
    const auto expected = draw_from_records(scene);
    painted += expected != scene.pixels;
    for (WorkerPool* pool : {&one, &two, &three, &four, &eight, &sixteen}) {
      EXPECT_EQ(draw_with(*pool, scene), expected) << "seed " << seed << ", "
                                                    << pool->thread_count() << " workers";
      EXPECT_EQ(draw_packed_with(*pool, scene), expected)
          << "seed " << seed << ", " << pool->thread_count() << " workers, packed";
    }
  }
  EXPECT_EQ(painted, 80);
}

// Colours packed once draw what colours packed by each reader draw.
TEST(RenderJob, PackedColoursDrawTheSameBytes) {
  WorkerPool one(1), four(4), eight(8);
  for (std::uint32_t seed = 400; seed < 500; ++seed) {
    Scene scene = random_scene(seed);
    // Channels on and beside rounding boundaries, and out of range.
    for (std::size_t k = 0; k < scene.colours.size(); ++k)
      if (k % 4 != 3) scene.colours[k] = ((seed + k) % 520) / 510.0 + (k % 3 == 0 ? 1e-17 : 0.0);
    const auto expected = draw_from_records(scene);
    for (WorkerPool* pool : {&one, &four, &eight})
      EXPECT_EQ(draw_packed_with(*pool, scene), expected)
          << "seed " << seed << ", " << pool->thread_count() << " workers";
  }
}

TEST(RenderJob, DrawsSomethingOnAnOpaqueSquare) {
  WorkerPool pool(2);
  Scene s;
  s.w = s.h = 1;
  s.coords = {2, 2, 6, 2, 2, 5, 6, 5};  // nodes (0,0) (0,1) (1,0) (1,1)
  s.colours = {1, 0, 0.5, 1};
  s.rows = 8;
  s.cols = 8;
  s.row_stride = 32;
  s.pixels.assign(256, 0);
  s.extents[2] = s.extents[3] = 8;
  const auto out = draw_with(pool, s);
  int red = 0;
  for (std::size_t p = 0; p < out.size(); p += 4)
    if (out[p] == 255 && out[p + 1] == 0 && out[p + 2] == 128 && out[p + 3] == 255) ++red;
  EXPECT_EQ(red, 4 * 3);  // columns 2..5, device rows 2..4
  // Device row 2 is buffer row 8 - 1 - 2 = 5.
  EXPECT_EQ(out[5 * 32 + 2 * 4], 255);
  EXPECT_EQ(out[2 * 32 + 2 * 4], 0);
}

TEST(RenderJob, NonFiniteVertexOfADrawnQuadDeclinesWithNothingWritten) {
  WorkerPool pool(3);
  for (std::uint32_t seed = 100; seed < 130; ++seed) {
    Scene s = random_scene(seed);
    for (std::size_t k = 3; k < s.colours.size(); k += 4) s.colours[k] = 1.0;
    s.coords[2 * static_cast<std::size_t>(seed % ((s.w + 1) * (s.h + 1)))] = kNaN;
    const auto before = s.pixels;
    int unlocks = 0;
    EXPECT_FALSE(render_job(s.inputs(), CountingUnlock{&unlocks}, &pool)) << seed;
    EXPECT_EQ(unlocks, 1) << "the fill pass must not run";
    EXPECT_EQ(s.pixels, before) << seed;
  }
}

TEST(RenderJob, NonFiniteVertexOfTransparentQuadsIsIgnored) {
  WorkerPool pool(2);
  Scene s = random_scene(7);
  s.w = 2;
  s.h = 1;
  s.coords = {0, 0, 4, 0, 8, 0, 0, 4, 4, 4, kNaN, 4};  // node (1,2) used by quad 1 only
  s.colours = {1, 1, 1, 1, 0, 0, 0, 1e-13};
  int unlocks = 0;
  EXPECT_TRUE(render_job(s.inputs(), CountingUnlock{&unlocks}, &pool));
  s.colours[7] = 1.0;
  EXPECT_FALSE(render_job(s.inputs(), CountingUnlock{&unlocks}, &pool));
}

// The face alpha rule as the eligibility checks state it.
bool alphas_binary_plainly(const std::vector<double>& colours) {
  for (std::size_t k = 3; k < colours.size(); k += 4) {
    const double a = colours[k];
    if (std::fabs(a) > 1e-12 && std::fabs(a - 1.0) > 1e-12) return false;
  }
  return true;
}

// Every answer the same whether read in place, with the lock released on the
// calling thread, or in shares on pools of several workers; the lock is left
// only for many rows.
TEST(FaceAlphas, SameAnswerWhereverTheRowsAreRead) {
  WorkerPool one(1), three(3), eight(8);
  std::mt19937 rng(17);
  const auto pick = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
  const double inf = std::numeric_limits<double>::infinity();
  const double passing[] = {0.0, 1.0, -0.0, 1e-12, -1e-12, 1 + 1e-13, 1 - 2e-16, kNaN, 1 - 1e-13};
  const double failing[] = {0.5, std::nextafter(1e-12, 1.0), -std::nextafter(1e-12, 1.0),
                            1 + 2e-12, 1 - 2e-12, 2.0, inf, -inf};
  const std::uint64_t sizes[] = {1, 2, 7, 63, 64, 65, 127, 128, 129, 1000, 20000};
  int declined = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const std::uint64_t rows = sizes[pick(0, 10)];
    std::vector<double> colours(4 * rows, 0.25);
    for (std::uint64_t k = 0; k < rows; ++k) colours[4 * k + 3] = passing[pick(0, 8)];
    for (int bad = pick(-2, 2); bad > 0; --bad) {
      const std::uint64_t at = pick(0, 2) == 0 ? rows - 1 : static_cast<std::uint64_t>(
                                                                 pick(0, static_cast<int>(rows) - 1));
      colours[4 * at + 3] = failing[pick(0, 7)];
    }
    for (std::uint64_t k = 0; k < rows; ++k)
      for (int c = 0; c < 3; ++c) colours[4 * k + c] = pick(-20, 530) / 510.0;
    const bool want = alphas_binary_plainly(colours);
    declined += !want;
    for (WorkerPool* pool : {&one, &three, &eight}) {
      for (const std::uint64_t pool_from : {std::uint64_t{0}, std::uint64_t{100}, kPoolWorthwhile}) {
        int unlocks = 0;
        ASSERT_EQ(face_alphas_binary(colours.data(), rows, CountingUnlock{&unlocks}, pool, pool_from),
                  want)
            << "trial " << trial << ", " << pool->thread_count() << " workers";
        EXPECT_EQ(unlocks, rows >= pool_from ? 1 : 0);
        // Packing on the way: the same answer, and each row's face colour.
        std::vector<std::uint32_t> packed(rows, 0x5A5A5A5Au);
        ASSERT_EQ(face_alphas_binary(colours.data(), rows, CountingUnlock{&unlocks}, pool,
                                     pool_from, packed.data()),
                  want);
        for (std::uint64_t k = 0; want && k < rows; ++k) {
          const double* rgba = &colours[4 * k];
          const bool clear = std::fabs(rgba[3]) <= 1e-12;
          const std::uint32_t face =
              pack_rgba(colour_byte(rgba[0]), colour_byte(rgba[1]), colour_byte(rgba[2]),
                        clear ? 0 : 255);
          ASSERT_EQ(packed[k], face) << "trial " << trial << ", row " << k;
        }
      }
    }
  }
  EXPECT_GT(declined, 100);
  EXPECT_LT(declined, 300);
}

TEST(ClipBox, FromExtents) {
  const struct {
    double e[4];
    std::int32_t width, height;
    ClipBox want;
  } table[] = {
      {{0.5, 0.5, 10.5, 10.5}, 100, 100, {0, 11, 0, 11}},
      {{-5, -5, 1000, 1000}, 640, 480, {0, 640, 0, 480}},
      {{20.2, 30.7, 10.1, 40.0}, 100, 100, {20, 11, 30, 40}},
      {{kNaN, kNaN, kNaN, kNaN}, 100, 100, {0, INT32_MIN, 0, INT32_MIN}},
      // A huge finite upper extent clips at the image edge.
      {{0, 0, 3e9, 3e9}, 64, 32, {0, 64, 0, 32}},
      {{-3e9, -1e300, 5, 6}, 64, 32, {0, 5, 0, 6}},
  };
  for (const auto& row : table) {
    const ClipBox got = clip_box_from_extents(row.e, row.width, row.height);
    EXPECT_EQ(got.x0, row.want.x0);
    EXPECT_EQ(got.x1, row.want.x1);
    EXPECT_EQ(got.y0, row.want.y0);
    EXPECT_EQ(got.y1, row.want.y1);
  }
}

TEST(RenderJob, EmptyClipBoxWritesNothing) {
  WorkerPool pool(2);
  const double empties[][4] = {{20.2, 30.7, 10.1, 40.0}, {kNaN, kNaN, kNaN, kNaN}, {0, 0, 0, 0}};
  for (const auto& e : empties) {
    Scene s = random_scene(11);
    for (int k = 0; k < 4; ++k) s.extents[k] = e[k];
    const auto before = s.pixels;
    int unlocks = 0;
    EXPECT_TRUE(render_job(s.inputs(), CountingUnlock{&unlocks}, &pool));
    EXPECT_EQ(s.pixels, before);
  }
}

}  // namespace
}  // namespace quadlite
