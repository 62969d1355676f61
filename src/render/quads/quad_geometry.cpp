#include "render/quads/quad_geometry.hpp"

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

}  // namespace quadlite
