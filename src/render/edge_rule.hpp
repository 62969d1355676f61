// The coverage rule of the fill. Edge k of a quad runs from P_k to P_{k+1}
// (P_4 = P_0); at pixel centre (X, Y) its value is
//   dx * (Y - y) - dy * (X - x),  (x, y) = P_k, (dx, dy) = P_{k+1} - P_k,
// every step rounded on its own. A centre is covered unless one edge value is
// clearly positive and another clearly negative (beyond kEdgeTolerance); NaN
// compares false both ways, so it is neutral. covers() is the rule; the fills
// compute the same expressions with the helpers below, hoisted out of their
// loops and vectorised, and say which part of the rule each loop implements.
#pragma once

#include "render/render_types.hpp"
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

// covers() for a single centre, edges 0 and 1 in one vector, 2 and 3 in
// another: the fill's test of a one-pixel box.
QUADLITE_INLINE bool covers_centre(const Edges& e, double X, double Y) {
  const F64x2 v01 = row_term(F64x2{e.dx[0], e.dx[1]}, F64x2{e.y[0], e.y[1]}, splat(Y)) -
                    column_term(F64x2{e.dy[0], e.dy[1]}, F64x2{e.x[0], e.x[1]}, splat(X));
  const F64x2 v23 = row_term(F64x2{e.dx[2], e.dx[3]}, F64x2{e.y[2], e.y[3]}, splat(Y)) -
                    column_term(F64x2{e.dy[2], e.dy[3]}, F64x2{e.x[2], e.x[3]}, splat(X));
  const I64x2 positive = clearly_positive(v01) | clearly_positive(v23);
  const I64x2 negative = clearly_negative(v01) | clearly_negative(v23);
  return !((positive[0] | positive[1]) && (negative[0] | negative[1]));
}

}  // namespace quadlite
