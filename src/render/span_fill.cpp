// Boxes wider than a few columns, row by row: each row's covered columns are
// at most two runs, whose ends are settled with the edge test itself.
#include <algorithm>

#include "render/pixel_stores.hpp"
#include "render/quad_fill.hpp"
#include "render/span_bounds.hpp"

namespace quadlite {
namespace {

using namespace span_bounds;

constexpr std::int64_t kRowsAhead = 6;

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

SpanEnd span_end(const Edges& e, int k, bool of_p) {
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
std::int64_t search_end(const SpanEnd& t, double A, std::int64_t j, std::int64_t lo,
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

void set_pair(EndPair& p, const SpanEnd* lower, const SpanEnd* upper) {
  const double inf = __builtin_inf();
  const SpanEnd* lane[2] = {lower ? lower : upper, upper ? upper : lower};
  for (int l = 0; l < 2; ++l) {
    const SpanEnd& t = *lane[l];
    p.x[l] = t.x;
    p.y[l] = t.y;
    p.sdx[l] = t.sdx;
    p.sdy[l] = t.sdy;
    p.inv_sdy[l] = t.inv_sdy;
    p.bias[l] = t.bias;
    p.loose[l] = t.loose ? -1 : 0;
    const bool own = l == 0 ? lower != nullptr : upper != nullptr;
    p.inert[l] = own ? 0 : -1;
    p.inert_offset[l] = own ? 0.0 : -inf;
  }
}

// Lane l of a pair as a single end, for search_end.
SpanEnd lane_end(const EndPair& p, int l) {
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

// The ends that the active edges set on one span, paired up.
struct SpanPairs {
  EndPair pair[4];
  int count = 0;
};

// ends[k]: edge k's end of the span, for the slanted edges ks[0 .. n).
void pair_up(SpanPairs& s, const SpanEnd* ends, const int* ks, int n) {
  const SpanEnd* lowers[4];
  const SpanEnd* uppers[4];
  int nl = 0, nu = 0;
  for (int m = 0; m < n; ++m) {
    const SpanEnd* t = &ends[ks[m]];
    if (t->loose) {
      lowers[nl++] = t;
    } else {
      uppers[nu++] = t;
    }
  }
  for (s.count = 0; s.count < nl || s.count < nu; ++s.count)
    set_pair(s.pair[s.count], s.count < nl ? lowers[s.count] : nullptr,
             s.count < nu ? uppers[s.count] : nullptr);
}

// One span's bounds on row Y: max(lo, its lower ends), min(hi, its upper
// ends), kept as {lower, -upper} so that one max takes both.
QUADLITE_INLINE void span_on_row(const SpanPairs& sp, double Y, F64x2 low, F64x2 high,
                                 std::int64_t lo, std::int64_t hi, std::int64_t& begin,
                                 std::int64_t& end) {
  F64x2 acc{static_cast<double>(begin), -static_cast<double>(end)};
  for (int h = 0; h < sp.count; ++h) {
    const EndPair& p = sp.pair[h];
    const F64x2 f = settle_pair(p, Y, low, high, lo, hi) * F64x2{1.0, -1.0} + p.inert_offset;
    acc = f > acc ? f : acc;
  }
  begin = static_cast<std::int64_t>(acc[0]);
  end = static_cast<std::int64_t>(-acc[1]);
}

QUADLITE_INLINE void store_spans(const Spans& s, std::uint8_t* row, std::int64_t col_stride,
                                 std::uint32_t colour, bool stream) {
  const bool has_p = s.p_lo < s.p_hi;
  const bool has_n = s.n_lo < s.n_hi;
  if (has_p && has_n && std::max(s.p_lo, s.n_lo) <= std::min(s.p_hi, s.n_hi)) {
    store_run(row, col_stride, std::min(s.p_lo, s.n_lo), std::max(s.p_hi, s.n_hi), colour,
              stream);
    return;
  }
  if (has_p) store_run(row, col_stride, s.p_lo, s.p_hi, colour, stream);
  if (has_n) store_run(row, col_stride, s.n_lo, s.n_hi, colour, stream);
}

// Rows [first, last), starting from the spans `fixed` (the bounds of the
// upright edges and of the edges inactive on these rows), narrowed on each
// row by the slanted edges ks[0 .. n) and emptied by the level edges
// flat[0 .. flats).
void fill_rows(const PreparedQuad& q, const Edges& e, const Spans& fixed, const SpanEnd* p_end,
               const SpanEnd* n_end, const int* ks, int n, const int* flat, int flats,
               std::int64_t first, std::int64_t last, const TargetImage& target, bool stream) {
  const std::int64_t lo = q.x0, hi = q.x1;
  const F64x2 low = splat(static_cast<double>(lo)), high = splat(static_cast<double>(hi));
  const bool has_p = fixed.p_lo < fixed.p_hi, has_n = fixed.n_lo < fixed.n_hi;
  SpanPairs p_ends, n_ends;
  if (has_p) pair_up(p_ends, p_end, ks, n);
  if (has_n) pair_up(n_ends, n_end, ks, n);
  // The common convex cell: one span, an edge on either side.
  const bool single = flats == 0 && (has_p != has_n) && (has_p ? p_ends : n_ends).count == 1;
  if (single) {
    const EndPair& p = (has_p ? p_ends : n_ends).pair[0];
    const F64x2 start{static_cast<double>(has_p ? fixed.p_lo : fixed.n_lo),
                      -static_cast<double>(has_p ? fixed.p_hi : fixed.n_hi)};
    for (std::int64_t i = first; i < last; ++i) {
      const F64x2 f =
          settle_pair(p, pixel_centre(i), low, high, lo, hi) * F64x2{1.0, -1.0} + p.inert_offset;
      const F64x2 acc = f > start ? f : start;
      const auto begin = static_cast<std::int64_t>(acc[0]);
      const auto end = static_cast<std::int64_t>(-acc[1]);
      if (begin < end) {
        // The rows below are near this one: their lines are asked for a few
        // rows ahead, so that their misses overlap the work in between.
        if (i + kRowsAhead < last)
          prefetch_run(buffer_row(target, i + kRowsAhead), target.col_stride, begin, end);
        store_run(buffer_row(target, i), target.col_stride, begin, end, q.colour, stream);
      }
    }
    return;
  }
  for (std::int64_t i = first; i < last; ++i) {
    const double Y = pixel_centre(i);
    Spans s = fixed;
    if (has_p) span_on_row(p_ends, Y, low, high, lo, hi, s.p_lo, s.p_hi);
    if (has_n) span_on_row(n_ends, Y, low, high, lo, hi, s.n_lo, s.n_hi);
    for (int f = 0; f < flats; ++f) {
      const int k = flat[f];
      const double a = row_term(e.dx[k], e.y[k], Y);
      if (clearly_positive(a)) s.p_hi = s.p_lo;
      if (clearly_negative(a)) s.n_hi = s.n_lo;
    }
    if (!s.empty())
      store_spans(s, buffer_row(target, i), target.col_stride, q.colour, stream);
  }
}

}  // namespace

void fill_spans(const PreparedQuad& q, const Edges& e, std::int32_t first, std::int32_t last,
                const TargetImage& target) {
  const std::int64_t lo = q.x0, hi = q.x1;
  // Upright edges (dx == 0) have a == +-0 on every row, so their spans are
  // the same on all rows; level edges (dy == 0) have one class per row, a's;
  // an edge with both zero is neutral everywhere.
  Spans fixed{lo, hi, lo, hi};
  int flat[4], slanted[4];
  int flats = 0, slants = 0;
  for (int k = 0; k < 4; ++k) {
    if (e.dy[k] == 0.0) {
      if (e.dx[k] != 0.0) flat[flats++] = k;
    } else if (e.dx[k] == 0.0) {
      if (!fixed.empty()) narrow(fixed, e, k, 0.0, 1.0 / e.dy[k], lo, hi);
    } else {
      slanted[slants++] = k;
    }
  }
  if (fixed.empty()) return;
  const bool stream = hi - lo >= kStreamedRun && streams(target);
  EdgeRows rows[4];
  SpanEnd p_end[4], n_end[4];
  for (int m = 0; m < slants; ++m) {
    p_end[slanted[m]] = span_end(e, slanted[m], true);
    n_end[slanted[m]] = span_end(e, slanted[m], false);
  }
  for (int m = 0; m < slants; ++m)
    rows[m] = edge_rows(e, slanted[m], lo, hi, first, last);

  // Runs of rows with the same edges to test: an edge is tested only on
  // its active rows, and elsewhere empties P or N for the whole row.
  for (std::int64_t from = first; from < last;) {
    std::int64_t to = last;
    Spans s = fixed;
    int ks[4], n = 0;
    for (int m = 0; m < slants; ++m) {
      const EdgeRows& r = rows[m];
      bool empties_p;
      if (from < r.active_lo) {
        to = std::min(to, r.active_lo);
        empties_p = r.p_before;
      } else if (from < r.active_hi) {
        to = std::min(to, r.active_hi);
        ks[n++] = slanted[m];
        continue;
      } else {
        empties_p = !r.p_before;
      }
      if (empties_p) {
        s.p_hi = s.p_lo;
      } else {
        s.n_hi = s.n_lo;
      }
    }
    if (!s.empty())
      fill_rows(q, e, s, p_end, n_end, ks, n, flat, flats, from, to, target, stream);
    from = to;
  }
  if (stream) finish_streaming();
}

}  // namespace quadlite
