// The coverage rule of the fill. Edge k of a quad runs from P_k to P_{k+1}
// (P_4 = P_0); at pixel centre (X, Y) its value is
//   dx * (Y - y) - dy * (X - x),  (x, y) = P_k, (dx, dy) = P_{k+1} - P_k,
// every step rounded on its own. A centre is covered unless one edge value is
// clearly positive and another clearly negative (beyond kEdgeTolerance); NaN
// compares false both ways, so it is neutral. covers() is the rule; the fills
// compute the same expressions with the helpers below, hoisted out of their
// loops and vectorised, and say which part of the rule each loop implements.
#pragma once

#include "render/render_records.hpp"
#include "render/vector_types.hpp"

namespace quadlite {

// Start points and vectors of a quad's four edges.
struct Edges {
  double x[4], y[4];
  double dx[4], dy[4];
};

QUADLITE_INLINE Edges edges_of(const Point p[4]) {
  Edges e;
  for (int k = 0; k < 4; ++k) {
    const Point& next = p[(k + 1) & 3];
    e.x[k] = p[k].x;
    e.y[k] = p[k].y;
    e.dx[k] = next.x - p[k].x;
    e.dy[k] = next.y - p[k].y;
  }
  return e;
}

// The edge value is row_term - column_term: the first depends only on the
// row, the second only on the column, so a fill forms each once per row or
// column. V is double or a vector of doubles.
template <class V>
QUADLITE_INLINE V row_term(V dx, V y, V Y) {
  return dx * (Y - y);
}
template <class V>
QUADLITE_INLINE V column_term(V dy, V x, V X) {
  return dy * (X - x);
}
template <class V>
QUADLITE_INLINE auto clearly_positive(V value) {
  return value > kEdgeTolerance;
}
template <class V>
QUADLITE_INLINE auto clearly_negative(V value) {
  return value < -kEdgeTolerance;
}

inline double pixel_centre(std::int64_t j) { return static_cast<double>(j) + 0.5; }

// Whether pixel centre (X, Y) is covered by the quad with edges e.
QUADLITE_INLINE bool covers(const Edges& e, double X, double Y) {
  bool positive = false, negative = false;
  for (int k = 0; k < 4; ++k) {
    const double value = row_term(e.dx[k], e.y[k], Y) - column_term(e.dy[k], e.x[k], X);
    positive |= clearly_positive(value);
    negative |= clearly_negative(value);
  }
  return !(positive && negative);
}

inline bool covers(const Point p[4], double X, double Y) { return covers(edges_of(p), X, Y); }

}  // namespace quadlite
