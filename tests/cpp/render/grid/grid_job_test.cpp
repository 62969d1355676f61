// The render job on grids, on pools of several sizes (this suite also runs
// under the thread sanitizer): the grid path where it applies, the generic
// passes elsewhere, the same bytes as the generic passes alone.
#include <gtest/gtest.h>

#include <algorithm>

#include "grid_scenes.hpp"
#include "pool/worker_pool.hpp"
#include "render/render_job.hpp"

namespace quadlite {
namespace {

using testing_support::GridMaker;
using testing_support::GridScene;
using testing_support::GuardedTarget;
using testing_support::TestMesh;

// The job on pools of one, three and eight workers against the generic passes.
void job_matches_generic(const GridScene& s, WorkerPool& one, WorkerPool& three,
                         WorkerPool& eight) {
  GuardedTarget expected = s.target();
  const bool drawn = testing_support::generic_draw(s, expected);
  RenderInputs in;
  in.mesh = s.mesh.view();
  const double extents[4] = {double(s.clip.x0), double(s.clip.y0), double(s.clip.x1),
                             double(s.clip.y1)};
  std::copy(extents, extents + 4, in.extents);
  // Each pool with the colours as given and packed once, as the module
  // packs them (the alpha rule may fail: then the job gets none).
  const std::size_t count = s.mesh.colours.size() / 4;
  std::vector<std::uint32_t> packed(count);
  const bool binary = alphas_binary(s.mesh.colours.data(), 0, count, packed.data());
  for (WorkerPool* pool : {&one, &three, &eight}) {
    const std::uint32_t* const given = binary ? packed.data() : nullptr;
    for (const std::uint32_t* colours : {static_cast<const std::uint32_t*>(nullptr), given}) {
      GuardedTarget t = s.target();
      in.target = t.image();
      in.mesh.packed = colours;
      int sections = 0;
      const bool result = render_job(in, [&](auto&& body) { ++sections, body(); }, pool, 0);
      ASSERT_EQ(result, drawn);
      ASSERT_EQ(sections, drawn ? 2 : 1);
      ASSERT_EQ(t.pixels(), expected.pixels()) << (colours ? "packed" : "not packed");
      ASSERT_TRUE(t.untouched_outside_pixels());
    }
  }
}

TEST(GridMesh, RenderJobDrawsWhatTheGenericPassesDraw) {
  WorkerPool one(1), three(3), eight(8);
  for (int seed = 10000; seed < 10600; ++seed) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    ASSERT_NO_FATAL_FAILURE(job_matches_generic(GridMaker(seed).make(), one, three, eight));
  }
  for (int seed = 30000; seed < 30100; ++seed) {
    SCOPED_TRACE(::testing::Message() << "figure seed " << seed);
    ASSERT_NO_FATAL_FAILURE(job_matches_generic(GridMaker(seed).figure(), one, three, eight));
  }
}

// The bands share the rows the grid covers: with the grid over the lowest
// quarter of the clip box, in cells one row tall (on each row the fill
// searches for winners), every cut lies inside that quarter; equal bands
// would cut at 20, 40 and 60.
TEST(GridMesh, BandsAreCutByTheWorkOfTheRows) {
  TestMesh m(60, 20);
  for (std::uint64_t r = 0; r <= m.h; ++r)
    for (std::uint64_t c = 0; c <= m.w; ++c) m.set_node(r, c, 1.5 * c, 1.0 * r);
  m.add_colour(0, 1, 0, 1);
  const ClipBox clip{0, 90, 0, 80};
  GridMesh grid;
  ASSERT_TRUE(take_grid(m.view(), clip, 1, [](std::uint64_t n, auto&& body) {
    for (std::uint64_t k = 0; k < n; ++k) body(k);
  }, grid));
  BandSplit split{0, 80, 4};
  split_grid_rows(grid, split);
  ASSERT_EQ(split.starts.size(), 5u);
  for (std::uint64_t b = 1; b < 4; ++b) {
    EXPECT_GT(split.starts[b], split.starts[b - 1]);
    EXPECT_LE(split.starts[b], 20) << "cut " << b;
  }
  EXPECT_EQ(split.starts[4], 80);
}

}  // namespace
}  // namespace quadlite
