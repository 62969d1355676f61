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

// The job on pools of one and three workers against the generic passes.
void job_matches_generic(const GridScene& s, WorkerPool& one, WorkerPool& three) {
  GuardedTarget expected = s.target();
  const bool drawn = testing_support::generic_draw(s, expected);
  RenderInputs in;
  in.mesh = s.mesh.view();
  const double extents[4] = {double(s.clip.x0), double(s.clip.y0), double(s.clip.x1),
                             double(s.clip.y1)};
  std::copy(extents, extents + 4, in.extents);
  for (WorkerPool* pool : {&one, &three}) {
    GuardedTarget t = s.target();
    in.target = t.image();
    int sections = 0;
    const bool result = render_job(in, [&](auto&& body) { ++sections, body(); }, pool, 0);
    ASSERT_EQ(result, drawn);
    ASSERT_EQ(sections, drawn ? 2 : 1);
    ASSERT_EQ(t.pixels(), expected.pixels());
    ASSERT_TRUE(t.untouched_outside_pixels());
  }
}

TEST(GridMesh, RenderJobDrawsWhatTheGenericPassesDraw) {
  WorkerPool one(1), three(3);
  for (int seed = 10000; seed < 10600; ++seed) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    ASSERT_NO_FATAL_FAILURE(job_matches_generic(GridMaker(seed).make(), one, three));
  }
  for (int seed = 30000; seed < 30100; ++seed) {
    SCOPED_TRACE(::testing::Message() << "figure seed " << seed);
    ASSERT_NO_FATAL_FAILURE(job_matches_generic(GridMaker(seed).figure(), one, three));
  }
}

}  // namespace
}  // namespace quadlite
