#include "render/prepare_pass.hpp"

#include <algorithm>
#include <cmath>

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

// Maps a mesh node through the first two rows of the row-major 3x3 matrix;
// products first, translation last, so the result is bit-reproducible.
Point to_device(const double* m, const double* node) {
  const double x = node[0];
  const double y = node[1];
  return {(m[0] * x + m[1] * y) + m[2], (m[3] * x + m[4] * y) + m[5]};
}

bool all_coordinates_finite(const Point p[4]) {
  for (int k = 0; k < 4; ++k) {
    if (!std::isfinite(p[k].x) || !std::isfinite(p[k].y)) return false;
  }
  return true;
}

// Makes p convex in place, reordering around the centroid if needed; false
// when no convex order exists (a concave outline).
bool make_convex(Point p[4]) {
  if (quad_is_convex(p)) return true;
  sort_around_centroid(p);
  return quad_is_convex(p);
}

// Integer pixel box of the quad clipped to `clip`; empty boxes are the
// caller's to reject.
void clipped_box(const Point p[4], const ClipBox& clip, PreparedQuad& q) {
  double min_x = p[0].x, max_x = p[0].x, min_y = p[0].y, max_y = p[0].y;
  for (int k = 1; k < 4; ++k) {
    min_x = std::fmin(min_x, p[k].x);
    max_x = std::fmax(max_x, p[k].x);
    min_y = std::fmin(min_y, p[k].y);
    max_y = std::fmax(max_y, p[k].y);
  }
  q.x0 = std::max(clip.x0, lower_bound_px(min_x));
  q.x1 = std::min(upper_bound_px(max_x), clip.x1);
  q.y0 = std::max(clip.y0, lower_bound_px(min_y));
  q.y1 = std::min(upper_bound_px(max_y), clip.y1);
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
  return static_cast<std::uint8_t>(std::lround(v * 255.0));
}

void prepare_task(const MeshView& mesh, const ClipBox& clip, std::uint64_t task,
                  std::uint64_t tasks, QuadList& out,
                  std::atomic<bool>& all_finite) noexcept {
  if (tasks == 0 || task >= tasks || mesh.width == 0 || mesh.colour_rows <= 0) return;
  const std::uint64_t quads = mesh.width * mesh.height;
  const std::uint64_t begin = partition_bound(task, quads, tasks);
  const std::uint64_t end = partition_bound(task + 1, quads, tasks);
  const std::uint64_t colour_rows = static_cast<std::uint64_t>(mesh.colour_rows);
  const std::uint64_t node_stride = mesh.width + 1;

  for (std::uint64_t i = begin; i < end; ++i) {
    const double* rgba = mesh.colours + 4 * (i % colour_rows);
    // Cells the eligibility checks took as transparent paint nothing; NaN
    // alpha is not within the tolerance, so such a cell is drawn opaque.
    if (std::fabs(rgba[3]) <= kTolerance) continue;

    const std::uint64_t r = i / mesh.width;
    const std::uint64_t c = i % mesh.width;
    const double* n00 = mesh.coords + 2 * (r * node_stride + c);
    const double* n10 = n00 + 2 * node_stride;
    Point p[4] = {to_device(mesh.matrix, n00), to_device(mesh.matrix, n10),
                  to_device(mesh.matrix, n10 + 2), to_device(mesh.matrix, n00 + 2)};

    if (!all_coordinates_finite(p)) {
      all_finite.store(false, std::memory_order_relaxed);
      return;
    }
    if (!make_convex(p)) continue;

    PreparedQuad q;
    clipped_box(p, clip, q);
    if (q.x0 >= q.x1 || q.y0 >= q.y1) continue;
    for (int k = 0; k < 4; ++k) q.p[k] = p[k];
    q.colour = pack_rgba(colour_byte(rgba[0]), colour_byte(rgba[1]), colour_byte(rgba[2]), 255);

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

}  // namespace quadlite
