#include "render/prepare_pass.hpp"

#include "render/quad_geometry.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quadlite {
namespace {

// 2^-20: relative tolerance of the convexity test, scaled by the longest
// squared edge so the test does not depend on the quad's size.
constexpr double kConvexTolerance = 9.5367431640625e-7;

double squared_length(const Point& a, const Point& b) {
  const double dx = b.x - a.x;
  const double dy = b.y - a.y;
  return dx * dx + dy * dy;
}

std::uint64_t task_begin(std::uint64_t quads, std::uint64_t task, std::uint64_t tasks) {
  return partition_bound(task, quads, tasks);
}

// Whether every node the quads [begin, end) use maps to finite device
// coordinates, whatever the quads' alphas: a finite matrix, and coordinates
// small enough that no mapped value can come near overflow. Reads only the
// coordinates (of whole node rows, a few more than needed), so a false
// answer merely sends the caller to the exact per-quad test.
bool nodes_map_finite(const MeshView& mesh, std::uint64_t begin, std::uint64_t end) {
  const double* m = mesh.matrix;
  for (int k = 0; k < 6; ++k)
    if (!std::isfinite(m[k])) return false;
  if (std::max(std::fabs(m[2]), std::fabs(m[5])) > 1e299) return false;
  const double gain =
      std::max(std::fabs(m[0]) + std::fabs(m[1]), std::fabs(m[3]) + std::fabs(m[4]));
  // |X| <= gain * limit + 1e299 stays far below the largest double.
  const double limit = gain > 1.0 ? 1e299 / gain : 1e299;
  const std::uint64_t first_row = begin / mesh.width;
  const std::uint64_t last_row = (end - 1) / mesh.width + 1;
  const double* v = mesh.coords + 2 * first_row * (mesh.width + 1);
  const std::uint64_t count = 2 * (last_row - first_row + 1) * (mesh.width + 1);
  unsigned too_big = 0;  // NaN fails the comparison too
  for (std::uint64_t k = 0; k < count; ++k) too_big |= !(std::fabs(v[k]) <= limit);
  return too_big == 0;
}

// Records quad `offset` of the task in every band its box rows reach.
void index_quad(const BandSplit& split, const PreparedQuad& box, std::uint32_t offset,
                TaskBands& index) {
  const std::uint64_t first = band_of_row(split, box.y0);
  const std::uint64_t last = band_of_row(split, box.y1 - 1);
  for (std::uint64_t b = first; b <= last; ++b) index.by_band[b].push_back(offset);
}

}  // namespace

bool quad_is_convex(const Point p[4]) {
  double longest = 0.0;
  for (int k = 0; k < 4; ++k) {
    const double len = squared_length(p[k], p[(k + 1) & 3]);
    if (len > longest) longest = len;
  }
  const double tau = kConvexTolerance * longest;

  bool left = false;
  bool right = false;
  for (int k = 0; k < 4; ++k) {
    const Point& prev = p[(k + 3) & 3];
    const Point& cur = p[k];
    const Point& next = p[(k + 1) & 3];
    const double turn =
        (cur.x - prev.x) * (next.y - prev.y) - (cur.y - prev.y) * (next.x - prev.x);
    left = left || turn > tau;
    right = right || turn < -tau;
  }
  return !(left && right);
}

void sort_around_centroid(Point p[4]) {
  const double cx = (((p[0].x + p[1].x) + p[2].x) + p[3].x) * 0.25;
  const double cy = (((p[0].y + p[1].y) + p[2].y) + p[3].y) * 0.25;

  struct Keyed {
    Point point;
    double angle;
    double distance;  // squared, from the centroid
  };
  Keyed v[4];
  for (int k = 0; k < 4; ++k) {
    const double dx = p[k].x - cx;
    const double dy = p[k].y - cy;
    v[k] = {p[k], std::atan2(dy, dx), dy * dy + dx * dx};
  }
  // A NaN angle compares as differing from everything, so it falls to the
  // plain `<`, which is false.
  const auto before = [](const Keyed& a, const Keyed& b) {
    if (a.angle != b.angle) return a.angle < b.angle;
    return a.distance < b.distance;
  };
  // Insertion sort: stable, and fixed in its comparisons even when NaN
  // angles make the order inconsistent.
  for (int i = 1; i < 4; ++i) {
    const Keyed key = v[i];
    int j = i;
    for (; j > 0 && before(key, v[j - 1]); --j) v[j] = v[j - 1];
    v[j] = key;
  }
  for (int k = 0; k < 4; ++k) p[k] = v[k].point;
}

std::uint8_t colour_byte(double component) {
  if (std::isnan(component)) return 0;
  const double v = component > 1.0 ? 1.0 : (component < 0.0 ? 0.0 : component);
  // Half away from zero for v * 255 in [0, 255]; the fraction is exact.
  const double scaled = v * 255.0;
  const auto whole = static_cast<std::uint32_t>(scaled);
  return static_cast<std::uint8_t>(whole + (scaled - whole >= 0.5 ? 1u : 0u));
}

void prepare_task(const MeshView& mesh, const ClipBox& clip, std::uint64_t task,
                  std::uint64_t tasks, QuadList& out,
                  std::atomic<bool>& all_finite) noexcept {
  if (tasks == 0 || task >= tasks || mesh.width == 0 || mesh.colour_rows <= 0) return;
  const std::uint64_t quads = mesh.width * mesh.height;
  const std::uint64_t begin = task_begin(quads, task, tasks);
  const std::uint64_t end = task_begin(quads, task + 1, tasks);
  if (begin == end) return;

  const DeviceMap map = device_map(mesh.matrix);
  QuadCursor at = cursor_at(mesh, begin);
  PreparedQuad q;
  for (std::uint64_t i = begin; i < end; ++i) {
    const QuadFate fate = prepare_next(mesh, map, clip, at, q);
    if (fate == QuadFate::skipped) continue;
    if (fate == QuadFate::not_finite) {
      all_finite.store(false, std::memory_order_relaxed);
      return;
    }
    try {
      out.push_back(q);
    } catch (...) {
      // Growth is the only step that can throw (memory exhausted). Nothing
      // carries a failure out of a pool task; declining lets the host draw.
      all_finite.store(false, std::memory_order_relaxed);
      return;
    }
  }
}

void check_task(const MeshView& mesh, const ClipBox& clip, std::uint64_t task,
                std::uint64_t tasks, std::atomic<bool>& all_finite, const BandSplit& split,
                TaskBands* index) noexcept {
  if (tasks == 0 || task >= tasks || mesh.width == 0 || mesh.colour_rows <= 0) return;
  const std::uint64_t quads = mesh.width * mesh.height;
  const std::uint64_t begin = task_begin(quads, task, tasks);
  const std::uint64_t end = task_begin(quads, task + 1, tasks);

  bool indexing = false;
  if (index != nullptr) {
    index->first_quad = begin;
    index->end_quad = end;
    index->complete = false;
    if (split.bands > 0 && end - begin <= std::uint64_t{UINT32_MAX} + 1) {
      try {
        index->by_band.assign(split.bands, {});
        indexing = index->complete = true;
      } catch (...) {
        // Without an index the fill walks the whole range: same image.
      }
    }
  }
  if (begin == end) return;
  if (!indexing && nodes_map_finite(mesh, begin, end)) return;

  const DeviceMap map = device_map(mesh.matrix);
  QuadCursor at = cursor_at(mesh, begin);
  F64x2 v[4];
  PreparedQuad box;
  for (std::uint64_t i = begin; i < end; ++i) {
    const Vertices found = device_vertices(mesh, map, at, v);
    if (found == Vertices::transparent) continue;
    if (found == Vertices::not_finite) {
      all_finite.store(false, std::memory_order_relaxed);
      return;
    }
    if (!indexing || !box_of(v, clip, box)) continue;
    try {
      index_quad(split, box, static_cast<std::uint32_t>(i - begin), *index);
    } catch (...) {
      indexing = index->complete = false;
      std::vector<std::vector<std::uint32_t>>().swap(index->by_band);
    }
  }
}

}  // namespace quadlite
