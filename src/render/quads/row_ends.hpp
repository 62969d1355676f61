// Each row's run ends from the edges' crossings, confirmed by the edge test
// one edge a lane: the span fill's per-row step, falling back on the search
// of bound_search.hpp where the estimate misses.
#pragma once

#include <cstdint>

#include "render/quads/bound_search.hpp"
#include "render/vector_types.hpp"

namespace quadlite {
namespace row_ends {

using bound_search::first_where;

// Along a row, one edge's value E(X) = a - dy * (X - x), a = dx * (Y - y), is
// monotone in the column even in floating point: X - x, dy * t and a - u are
// each rounded monotonically. NaN arises only from infinities (inf - inf,
// inf * 0): either on the whole row (a is NaN) or at one end of a run of
// infinite values, where the value passes from one side to the other, so an
// edge's class (negative, neutral, positive; NaN neutral) is monotone too:
// falling when dy > 0, rising when dy < 0, constant when dy == 0. Hence the
// columns where no edge is positive form one interval P, those where none
// is negative another, N, and the covered columns are P united with N.
//
// A slanted edge bounds each of P and N from one side: where it falls, P
// from below (from its first column not positive) and N from above (from
// its first negative column); where it rises, P from above (first positive)
// and N from below (first not negative). Such a bound is the first column
// where a test holds that is false and then true along the row, and it is
// settled per row by its estimate, the column nearest the edge's crossing,
// confirmed by testing that column and the one before it. Only when the
// test flips elsewhere (centres within rounding of the edge, huge
// coordinates) does a search from the estimate settle it.

// One end of P or N, set by one slanted edge. To make every end's test read
// the same, the edge value is taken with the sign that makes it rise along
// the row: w = s * E, s = -1 where the edge falls. Negation is exact in each
// step, so w's classes are E's, mirrored. The end's column is then the first
// where w > tolerance (`loose` false: P's upper end of a rising edge, N's
// upper end of a falling one), or the first where !(w < -tolerance) (`loose`
// true: the lower ends), NaN counting as neutral as in the rule.
struct SpanEnd {
  double x, y, sdx, sdy, inv_sdy;
  double bias;  // from the crossing to the first column past it, rounded down
  bool loose;
};

inline SpanEnd span_end(const Edges& e, int k, bool of_p) {
  const bool rising = e.dy[k] < 0.0;
  const double s = rising ? 1.0 : -1.0;
  SpanEnd t;
  t.x = e.x[k];
  t.y = e.y[k];
  t.sdx = s * e.dx[k];
  t.sdy = s * e.dy[k];
  t.inv_sdy = 1.0 / t.sdy;
  t.loose = rising != of_p;
  // The first centre past the crossing X is X + 1/2 rounded down; the first
  // at or past it, the same but when X is on a centre.
  t.bias = t.loose ? 0.5 - 0x1p-16 : 0.5;
  return t;
}

// The first column in [lo, hi) where the end's test holds on the row whose
// signed row term is A, or hi, searched from the estimate j.
inline std::int64_t search_end(const SpanEnd& t, double A, std::int64_t j, std::int64_t lo,
                        std::int64_t hi) {
  const auto holds = [&](std::int64_t c) {
    const double w = A - column_term(t.sdy, t.x, pixel_centre(c));
    return t.loose ? !clearly_negative(w) : clearly_positive(w);
  };
  if (j < hi && !holds(j)) return j + 1 == hi ? hi : first_where(holds, j + 1, hi, j + 1);
  if (j > lo && holds(j - 1)) return j - 1 == lo ? lo : first_where(holds, lo, j - 1, j - 2);
  return j;
}

// A lower end (lane 0) and an upper end (lane 1) of one span. A lane with
// no end of its own repeats the other lane's and is left out of the bounds.
struct EndPair {
  F64x2 x, y, sdx, sdy, inv_sdy, bias;
  I64x2 loose, inert;
  F64x2 inert_offset;  // -inf on an inert lane, so that max() ignores it
};

inline void set_pair(EndPair& p, const SpanEnd* lower, const SpanEnd* upper) {
  const double inf = __builtin_inf();
  const SpanEnd& a = lower ? *lower : *upper;
  const SpanEnd& b = upper ? *upper : *lower;
  p.x = F64x2{a.x, b.x};
  p.y = F64x2{a.y, b.y};
  p.sdx = F64x2{a.sdx, b.sdx};
  p.sdy = F64x2{a.sdy, b.sdy};
  p.inv_sdy = F64x2{a.inv_sdy, b.inv_sdy};
  p.bias = F64x2{a.bias, b.bias};
  p.loose = I64x2{a.loose ? -1 : 0, b.loose ? -1 : 0};
  p.inert = I64x2{lower ? 0 : -1, upper ? 0 : -1};
  p.inert_offset = F64x2{lower ? 0.0 : -inf, upper ? 0.0 : -inf};
}

// Lane l of a pair as a single end, for search_end.
inline SpanEnd lane_end(const EndPair& p, int l) {
  return {p.x[l], p.y[l], p.sdx[l], p.sdy[l], p.inv_sdy[l], p.bias[l], p.loose[l] != 0};
}

// search_end for both lanes on row Y: the estimate, the column nearest past
// the crossing, is the end when the test holds there and fails on the
// column before (or the estimate is lo or hi), which settles nearly every
// row with two evaluations. Whole columns, as doubles.
QUADLITE_INLINE F64x2 settle_pair(const EndPair& p, double Y, F64x2 low, F64x2 high,
                                  std::int64_t lo, std::int64_t hi) {
  const F64x2 A = p.sdx * (splat(Y) - p.y);
  // w = 0 at X = x + A / sdy. NaN and far estimates stop at lo or hi.
  F64x2 g = (p.x + A * p.inv_sdy) + p.bias;
  g = g > low ? g : low;
  g = g < high ? g : high;
  F64x2 at = __builtin_convertvector(__builtin_convertvector(g, I32x2), F64x2);
  // Centres of columns at and at - 1; exact, as at is whole and small.
  const F64x2 w = A - column_term(p.sdy, p.x, at + 0.5);
  const F64x2 w_before = A - column_term(p.sdy, p.x, at - 0.5);
  // Lane 0 tests !(w < -tol), that is !(-w > tol); lane 1 tests w > tol.
  const F64x2 flip{-1.0, 1.0};
  const I64x2 lower{-1, 0};
  const auto holds = [&](F64x2 v) { return clearly_positive(v * flip) ^ lower; };
  const I64x2 settled =
      ((holds(w) | (at == high)) & (~holds(w_before) | (at == low))) | p.inert;
  if (__builtin_expect(lane_bits(settled) != 3, 0)) {
    for (int l = 0; l < 2; ++l)
      if (!settled[l])
        at[l] = static_cast<double>(
            search_end(lane_end(p, l), A[l], static_cast<std::int64_t>(at[l]), lo, hi));
  }
  return at;
}

}  // namespace row_ends
}  // namespace quadlite
