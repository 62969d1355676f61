// libFuzzer harness of the render job: any mesh, matrix, colours, extents and
// target layout. For every input it checks that
//  - the job declines exactly when a quad that would be drawn has a
//    non-finite device vertex, and a declined job wrote nothing;
//  - the prepare pass writes nothing, and its quads are finite, convex and
//    boxed inside the clip box, whatever the number of tasks;
//  - the image equals a per-pixel reference over the prepared quads, and no
//    byte outside the clip box's pixels (guards, gaps, padding, other
//    pixels) changes;
//  - pools of one, two and three workers draw the same bytes.
// Any failed check prints what differs and aborts, which libFuzzer records.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.hpp"
#include "guarded_image.hpp"
#include "pool/worker_pool.hpp"
#include "reference/reference_passes.hpp"
#include "render/quads/check_pass.hpp"
#include "render/quads/fill_pass.hpp"
#include "render/render_job.hpp"

namespace quadlite {
namespace fuzzing {
namespace {

[[noreturn]] void fail(const char* what, long long a = 0, long long b = 0) {
  std::fprintf(stderr, "render_fuzzer: %s (%lld, %lld)\n", what, a, b);
  std::abort();
}

void check(bool ok, const char* what, long long a = 0, long long b = 0) {
  if (!ok) fail(what, a, b);
}

// Built once; never destroyed, so no exit path waits on a worker.
WorkerPool& pool(unsigned index) {
  static WorkerPool* const pools[3] = {new WorkerPool(1), new WorkerPool(2), new WorkerPool(3)};
  return *pools[index % 3];
}

MeshView mesh_of(const FuzzInput& in) {
  MeshView m;
  m.width = in.width;
  m.height = in.height;
  m.coords = in.coords.data();
  m.colours = in.colours.data();
  m.colour_rows = static_cast<std::int64_t>(in.colours.size() / 4);
  m.matrix = in.matrix;
  return m;
}

// Whether the job must decline, worked out from the inputs alone: a quad
// whose alpha is not within the tolerance of zero has a device vertex that
// is not finite.
bool must_decline(const FuzzInput& in) {
  const std::uint64_t n = in.width * in.height;
  const std::uint64_t colour_rows = in.colours.size() / 4;
  const double* m = in.matrix;
  for (std::uint64_t i = 0; i < n; ++i) {
    const double alpha = in.colours[4 * (i % colour_rows) + 3];
    if (std::fabs(alpha) <= kAlphaTolerance) continue;
    const std::uint64_t r = i / in.width, c = i % in.width;
    const std::uint64_t corners[4][2] = {{r, c}, {r + 1, c}, {r + 1, c + 1}, {r, c + 1}};
    for (const auto& rc : corners) {
      const double* node = &in.coords[2 * (rc[0] * (in.width + 1) + rc[1])];
      const double x = (m[0] * node[0] + m[1] * node[1]) + m[2];
      const double y = (m[3] * node[0] + m[4] * node[1]) + m[5];
      if (!std::isfinite(x) || !std::isfinite(y)) return true;
    }
  }
  return false;
}

std::vector<QuadList> prepare(const MeshView& mesh, const ClipBox& clip, std::uint64_t tasks,
                              bool* finite) {
  std::vector<QuadList> lists(tasks);
  std::atomic<bool> all_finite{true};
  for (std::uint64_t k = 0; k < tasks; ++k) prepare_task(mesh, clip, k, tasks, lists[k], all_finite);
  *finite = all_finite.load();
  return lists;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same_quad(const PreparedQuad& a, const PreparedQuad& b) {
  for (int k = 0; k < 4; ++k) {
    if (!same_bits(a.p[k].x, b.p[k].x) || !same_bits(a.p[k].y, b.p[k].y)) return false;
  }
  return a.colour == b.colour && a.x0 == b.x0 && a.x1 == b.x1 && a.y0 == b.y0 && a.y1 == b.y1;
}

void check_clip_box(const ClipBox& clip, const FuzzInput& in) {
  check(clip.x0 >= 0 && clip.y0 >= 0, "clip box starts below 0", clip.x0, clip.y0);
  check(clip.x1 <= in.cols && clip.y1 <= in.rows, "clip box ends beyond the image", clip.x1,
        clip.y1);
}

void check_prepared(const QuadList& quads, const ClipBox& clip) {
  for (const PreparedQuad& q : quads) {
    double min_x = q.p[0].x, max_x = q.p[0].x, min_y = q.p[0].y, max_y = q.p[0].y;
    for (const Point& v : q.p) {
      check(std::isfinite(v.x) && std::isfinite(v.y), "prepared vertex not finite");
      min_x = std::fmin(min_x, v.x);
      max_x = std::fmax(max_x, v.x);
      min_y = std::fmin(min_y, v.y);
      max_y = std::fmax(max_y, v.y);
    }
    check(quad_is_convex(q.p), "prepared quad not convex");
    check(clip.x0 <= q.x0 && q.x0 < q.x1 && q.x1 <= clip.x1, "box columns outside the clip box",
          q.x0, q.x1);
    check(clip.y0 <= q.y0 && q.y0 < q.y1 && q.y1 <= clip.y1, "box rows outside the clip box",
          q.y0, q.y1);
    check(q.x0 == std::max(clip.x0, lower_bound_px(min_x)) &&
              q.x1 == std::min(upper_bound_px(max_x), clip.x1) &&
              q.y0 == std::max(clip.y0, lower_bound_px(min_y)) &&
              q.y1 == std::min(upper_bound_px(max_y), clip.y1),
          "box is not the vertices' clipped pixel bounds");
    std::uint8_t bytes[4];
    std::memcpy(bytes, &q.colour, 4);
    check(bytes[3] == 255, "alpha byte not 255", bytes[3]);
  }
}

// Any split of the quads over tasks gives the same quads in the same order.
void check_task_splits(const MeshView& mesh, const ClipBox& clip, const QuadList& serial,
                       bool serial_finite) {
  for (std::uint64_t tasks : {2u, 3u, 7u}) {
    bool finite = true;
    const std::vector<QuadList> lists = prepare(mesh, clip, tasks, &finite);
    check(finite == serial_finite, "decision depends on the task count", tasks);
    if (!finite) continue;
    std::size_t k = 0;
    for (const QuadList& list : lists) {
      for (const PreparedQuad& q : list) {
        check(k < serial.size() && same_quad(q, serial[k]), "quads depend on the task count",
              tasks, static_cast<long long>(k));
        ++k;
      }
    }
    check(k == serial.size(), "quad count depends on the task count", tasks);
  }
}

// Whether the pixel centre (X, Y) is inside the quad: its four edge values
// E_k = (x_{k+1} - x_k)(Y - y_k) - (y_{k+1} - y_k)(X - x_k) do not include one
// above the tolerance and one below minus the tolerance.
bool centre_inside(const Point p[4], double X, double Y) {
  bool positive = false, negative = false;
  for (int k = 0; k < 4; ++k) {
    const Point& a = p[k];
    const Point& b = p[(k + 1) % 4];
    const double e = (b.x - a.x) * (Y - a.y) - (b.y - a.y) * (X - a.x);
    positive = positive || e > kEdgeTolerance;
    negative = negative || e < -kEdgeTolerance;
  }
  return !(positive && negative);
}

// Every pixel whose centre a quad covers, in list order, one pixel at a time.
std::vector<std::uint8_t> reference_image(const GuardedImage& start, const QuadList& quads) {
  std::vector<std::uint8_t> out = start.storage;
  for (const PreparedQuad& q : quads) {
    for (std::int32_t y = q.y0; y < q.y1; ++y) {
      for (std::int32_t x = q.x0; x < q.x1; ++x) {
        const double X = static_cast<double>(x) + 0.5, Y = static_cast<double>(y) + 0.5;
        check(covers(q.p, X, Y) == centre_inside(q.p, X, Y), "covers() disagrees", x, y);
        if (centre_inside(q.p, X, Y)) {
          std::memcpy(&out[static_cast<std::size_t>(start.offset_of(x, y))], &q.colour, 4);
        }
      }
    }
  }
  return out;
}

// Names the first byte where `got` and `want` differ, and aborts.
[[noreturn]] void report_difference(const GuardedImage& g, const ClipBox& clip,
                                    const std::vector<std::uint8_t>& got,
                                    const std::vector<std::uint8_t>& want, unsigned workers) {
  std::size_t at = 0;
  while (got[at] == want[at]) ++at;
  for (std::int32_t y = 0; y < g.rows; ++y) {
    for (std::int32_t x = 0; x < g.cols; ++x) {
      const std::int64_t first = g.offset_of(x, y);
      if (static_cast<std::int64_t>(at) < first || static_cast<std::int64_t>(at) >= first + 4) {
        continue;
      }
      const bool inside = clip.x0 <= x && x < clip.x1 && clip.y0 <= y && y < clip.y1;
      std::fprintf(stderr, "render_fuzzer: pool of %u: pixel (%d, %d) %s the clip box\n",
                   workers, x, y, inside ? "inside" : "outside");
      fail(inside ? "pixel differs from the reference" : "pixel outside the clip box written");
    }
  }
  fail("byte outside every pixel written (guard, gap or padding)", static_cast<long long>(at),
       workers);
}

void run(const FuzzInput& in) {
  const GuardedImage start = make_guarded_image(in);
  const MeshView mesh = mesh_of(in);
  const ClipBox clip = clip_box_from_extents(in.extents, in.cols, in.rows);
  check_clip_box(clip, in);

  bool finite = true;
  const std::vector<QuadList> serial = prepare(mesh, clip, 1, &finite);
  check(finite != must_decline(in), "decline decision wrong", finite);
  if (finite) check_prepared(serial[0], clip);
  check_task_splits(mesh, clip, serial[0], finite);

  const std::vector<std::uint8_t> expected =
      finite ? reference_image(start, serial[0]) : start.storage;

  RenderInputs job;
  job.mesh = mesh;
  for (int k = 0; k < 4; ++k) job.extents[k] = in.extents[k];
  for (unsigned k = 0; k < 3; ++k) {
    WorkerPool& workers = pool(in.pool_index + k);
    // The last run puts even the smallest job on the pool: several bands,
    // cut by the work the check pass finds.
    const std::uint64_t pool_from = k == 2 ? 0 : kPoolWorthwhile;
    GuardedImage drawn = start;
    job.target = drawn.image();
    int sections = 0;
    bool prepare_wrote = false;
    const bool result = render_job(
        job,
        [&](auto&& body) {
          body();
          if (sections++ == 0) prepare_wrote = drawn.storage != start.storage;
        },
        &workers, pool_from);
    const auto threads = static_cast<unsigned>(workers.thread_count());
    check(!prepare_wrote, "the prepare pass wrote into the target", threads);
    check(result == finite, "render_job's result differs from the passes'", result, threads);
    check(sections == (result ? 2 : 1), "unexpected number of unlocked sections", sections);
    if (drawn.storage != expected) report_difference(start, clip, drawn.storage, expected, threads);
  }
}

}  // namespace
}  // namespace fuzzing
}  // namespace quadlite

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quadlite::fuzzing::run(quadlite::fuzzing::decode(data, size));
  return 0;
}
