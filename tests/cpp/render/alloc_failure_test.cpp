#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>

#include "reference/reference_passes.hpp"
#include "pool/worker_pool.hpp"
#include "render/quads/check_pass.hpp"
#include "render/render_job.hpp"
#include "support/failing_allocator.hpp"
#include "support/render_test_support.hpp"

namespace quadlite {
namespace {

using testing_support::fail_allocations_after;
using testing_support::TestMesh;

TEST(PreparePassMemory, ExhaustionDeclinesInsteadOfEscaping) {
  // Eight visible unit cells in one row.
  TestMesh m(8, 1);
  for (int c = 0; c <= 8; ++c) {
    m.set_node(0, c, c, 0);
    m.set_node(1, c, c, 1);
  }
  m.add_colour(1, 0, 0, 1);
  const ClipBox clip{0, 100, 0, 100};

  for (long allowed : {0L, 1L, 2L, 3L}) {
    QuadList out;
    std::atomic<bool> finite{true};
    fail_allocations_after(allowed);
    prepare_task(m.view(), clip, 0, 1, out, finite);  // noexcept: an escaping throw terminates
    fail_allocations_after(-1);
    EXPECT_FALSE(finite.load()) << allowed << " allocations allowed";
    EXPECT_LT(out.size(), 8u) << allowed << " allocations allowed";
    if (allowed == 0) {
      EXPECT_TRUE(out.empty());
    }
  }

  // Unarmed, the same task stores all eight.
  QuadList out;
  std::atomic<bool> finite{true};
  prepare_task(m.view(), clip, 0, 1, out, finite);
  EXPECT_TRUE(finite.load());
  EXPECT_EQ(out.size(), 8u);
}

// A pool that cannot take the alpha check (its bookkeeping finds no memory)
// leaves the rows to the calling thread: the same answer, nothing thrown.
TEST(FaceAlphasMemory, APoolThatCannotTakeTheWorkLeavesTheAnswer) {
  WorkerPool pool(3);
  std::vector<double> colours(4 * 50000, 1.0);
  const auto in_place = [](auto&& body) { body(); };
  for (const double last_alpha : {0.0, 0.5}) {
    colours.back() = last_alpha;
    for (long allowed : {0L, 1L, 2L, 3L, 100L}) {
      fail_allocations_after(allowed);
      const bool binary = face_alphas_binary(colours.data(), 50000, in_place, &pool, 0);
      fail_allocations_after(-1);
      EXPECT_EQ(binary, last_alpha == 0.0) << allowed << " allocations allowed";
    }
  }
}

// Without memory for the packed colours the scratch is null, nothing is
// thrown, and the job, left to pack each colour itself, draws the same.
TEST(PackedColoursMemory, NoScratchDrawsTheSameBytes) {
  TestMesh m(30, 20);
  for (std::uint64_t r = 0; r <= m.h; ++r)
    for (std::uint64_t c = 0; c <= m.w; ++c)
      m.set_node(r, c, 1.3 * c + 0.2 * std::sin(r + 2.0 * c), 1.1 * r + 0.3 * c);
  for (int k = 0; k < 600; ++k) m.add_colour((k % 13) / 12.0, (k % 7) / 6.0, 0.5, k % 5 ? 1 : 0);
  WorkerPool pool(3);
  const auto draw = [&](const std::uint32_t* packed) {
    testing_support::GuardedTarget t(48, 36);
    RenderInputs in;
    in.mesh = m.view();
    in.mesh.packed = packed;
    in.extents[2] = 48;
    in.extents[3] = 36;
    in.target = t.image();
    EXPECT_TRUE(render_job(in, [](auto&& body) { body(); }, &pool, 0));
    return t.pixels();
  };
  std::unique_ptr<std::uint32_t[]> packed = packed_scratch(600);
  ASSERT_NE(packed, nullptr);
  ASSERT_TRUE(alphas_binary(m.colours.data(), 0, 600, packed.get()));
  const auto expected = draw(packed.get());
  fail_allocations_after(0);
  std::unique_ptr<std::uint32_t[]> none = packed_scratch(600);
  fail_allocations_after(-1);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(draw(none.get()), expected);
  EXPECT_EQ(packed_scratch(UINT64_MAX), nullptr);
}

}  // namespace
}  // namespace quadlite
