// Boxes wider than a few columns, row by row: each row's covered columns are
// at most two runs, whose ends are settled with the edge test itself.
#include <algorithm>

#include "render/pixel_stores.hpp"
#include "render/quad_fill.hpp"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace quadlite {
namespace {

// Along a row, one edge's value E(X) = a - dy * (X - x), a = dx * (Y - y), is
// monotone in the column even in floating point: X - x, dy * t and a - u are
// each rounded monotonically. NaN arises only from infinities (inf - inf,
// inf * 0): either on the whole row (a is NaN) or at one end of a run of
// infinite values, where the value passes from one side to the other, so an
// edge's class (negative, neutral, positive; NaN neutral) is monotone too:
// falling when dy > 0, rising when dy < 0, constant when dy == 0. Hence the columns
// where no edge is positive form one interval P, those where none is
// negative another, N, and the covered columns are P united with N. Each
// interval end is found with the same edge test as the per-pixel rule:
// window_spans() tests three columns around each edge's estimated crossing,
// which settles every bound on almost every row; narrow() searches from the
// estimate by galloping and bisection when a crossing may lie outside them
// (nearly level edges, huge coordinates).

// The first column in [lo, hi) where `yes` holds, or hi; `yes` must be false
// then true along the row. `guess` is where to start looking.
template <class Test>
std::int64_t first_where(const Test& yes, std::int64_t lo, std::int64_t hi, std::int64_t guess) {
  guess = std::min(std::max(guess, lo), hi - 1);
  std::int64_t no_at, yes_at;  // yes fails at no_at (or lo - 1), holds at yes_at (or hi)
  std::int64_t step = 1;
  if (yes(guess)) {
    yes_at = guess;
    for (;;) {
      const std::int64_t j = yes_at - step;
      if (j < lo) {
        no_at = lo - 1;
        break;
      }
      if (!yes(j)) {
        no_at = j;
        break;
      }
      yes_at = j;
      step *= 2;
    }
  } else {
    no_at = guess;
    for (;;) {
      const std::int64_t j = no_at + step;
      if (j >= hi) {
        yes_at = hi;
        break;
      }
      if (yes(j)) {
        yes_at = j;
        break;
      }
      no_at = j;
      step *= 2;
    }
  }
  while (yes_at - no_at > 1) {
    const std::int64_t mid = no_at + (yes_at - no_at) / 2;
    if (yes(mid)) {
      yes_at = mid;
    } else {
      no_at = mid;
    }
  }
  return yes_at;
}

// Half-open column intervals: P (no edge positive) and N (no edge negative).
struct Spans {
  std::int64_t p_lo, p_hi, n_lo, n_hi;
  bool empty() const { return p_lo >= p_hi && n_lo >= n_hi; }
};

// Column where the edge's value crosses zero, as a starting guess: the
// centre X with a - dy * (X - x) = 0. Any value will do; NaN starts at lo.
inline std::int64_t crossing_guess(double x, double a, double inv_dy, std::int64_t lo,
                                   std::int64_t hi) {
  const double g = (x + a * inv_dy) - 0.5;
  if (!(g > static_cast<double>(lo))) return lo;
  if (!(g < static_cast<double>(hi))) return hi;
  const auto t = static_cast<std::int64_t>(g);
  return static_cast<double>(t) < g ? t + 1 : t;
}

// Narrows the spans by edge k (dy != 0) on the row whose term is `a`.
inline void narrow(Spans& s, const Edges& e, int k, double a, double inv_dy, std::int64_t lo,
                   std::int64_t hi) {
  const double x = e.x[k];
  const double dy = e.dy[k];
  const auto value = [&](std::int64_t j) { return a - column_term(dy, x, pixel_centre(j)); };
  const std::int64_t guess = crossing_guess(x, a, inv_dy, lo, hi);
  if (dy > 0) {  // the value falls along the row
    if (s.p_lo < s.p_hi)
      s.p_lo = first_where([&](std::int64_t j) { return !clearly_positive(value(j)); }, s.p_lo,
                           s.p_hi, guess);
    if (s.n_lo < s.n_hi)
      s.n_hi = first_where([&](std::int64_t j) { return clearly_negative(value(j)); }, s.n_lo,
                           s.n_hi, guess);
  } else {  // it rises
    if (s.p_lo < s.p_hi)
      s.p_hi = first_where([&](std::int64_t j) { return clearly_positive(value(j)); }, s.p_lo,
                           s.p_hi, guess);
    if (s.n_lo < s.n_hi)
      s.n_lo = first_where([&](std::int64_t j) { return !(clearly_negative(value(j))); }, s.n_lo,
                           s.n_hi, guess);
  }
}

// Edges ks[0 .. n) two to a vector, in order; a lane past n is inert.
// Slanted edges (dx, dy != 0) are marked falling (dy > 0) or rising; level
// and upright edges are neither and are left to the caller. The offsets are
// 0 on the lanes of their kind and infinite elsewhere, so that adding them
// leaves other lanes out of a maximum (low) or minimum (high).
struct EdgePairs {
  F64x2 x[2], y[2], dx[2], dy[2], inv_dy[2];
  I64x2 falling[2], rising[2];
  F64x2 falling_low[2], falling_high[2], rising_low[2], rising_high[2];
};

EdgePairs pairs_of(const Edges& e, const int* ks, int n) {
  const double inf = __builtin_inf();
  EdgePairs p;
  for (int lane = 0; lane < 4; ++lane) {
    const int h = lane >> 1, l = lane & 1;
    const int k = ks[lane < n ? lane : 0];
    p.x[h][l] = e.x[k];
    p.y[h][l] = e.y[k];
    p.dx[h][l] = e.dx[k];
    p.dy[h][l] = e.dy[k];
    p.inv_dy[h][l] = e.dy[k] != 0.0 ? 1.0 / e.dy[k] : 0.0;
    const bool slanted = lane < n && e.dx[k] != 0.0;
    const bool falling = slanted && e.dy[k] > 0.0, rising = slanted && e.dy[k] < 0.0;
    p.falling[h][l] = falling ? -1 : 0;
    p.rising[h][l] = rising ? -1 : 0;
    p.falling_low[h][l] = falling ? 0.0 : -inf;
    p.falling_high[h][l] = falling ? 0.0 : inf;
    p.rising_low[h][l] = rising ? 0.0 : -inf;
    p.rising_high[h][l] = rising ? 0.0 : inf;
  }
  return p;
}

// How many of the masks are set, lane by lane, as a double: the masks are
// -1 or 0, and 2^52 + k has the bits of 2^52 plus k.
QUADLITE_INLINE F64x2 count_set(I64x2 sum_of_masks) {
  const I64x2 two_52 = reinterpret_cast<I64x2>(splat(4503599627370496.0));
  return reinterpret_cast<F64x2>(two_52 - sum_of_masks) - 4503599627370496.0;
}

// Lane by lane maximum and minimum of operands that are never NaN.
QUADLITE_INLINE F64x2 larger(F64x2 a, F64x2 b) {
#if defined(__SSE2__)
  return _mm_max_pd(a, b);
#else
  return F64x2{a[0] > b[0] ? a[0] : b[0], a[1] > b[1] ? a[1] : b[1]};
#endif
}
QUADLITE_INLINE F64x2 smaller(F64x2 a, F64x2 b) {
#if defined(__SSE2__)
  return _mm_min_pd(a, b);
#else
  return F64x2{a[0] < b[0] ? a[0] : b[0], a[1] < b[1] ? a[1] : b[1]};
#endif
}

// Narrows `s` by the slanted edges on row Y, all at once, or returns false
// (leaving `s` alone) when an edge's bound may lie outside the columns
// tested for it; the caller then searches with narrow().
//
// Each edge is tested at the three columns c-1 .. c+1 around its estimated
// crossing c, kept within [lo, hi - 1]. Its classes are monotone along the
// row: for a falling edge, positive columns come first, then neutral, then
// negative ones; P starts after the positive ones and N ends before the
// negative ones; a rising edge mirrors this. So when the first column is
// positive (or at or left of lo) and the last negative (or at or past hi),
// the bounds are c - 1 plus the number of positive columns and c + 2 minus
// the number of negative ones; likewise for a rising edge with the signs
// swapped. An edge through a pixel centre has its neutral column at c.
template <int Pairs>
QUADLITE_INLINE bool window_spans(const EdgePairs& e, double Y, std::int64_t lo, std::int64_t hi,
                                  Spans& s) {
  const double low = static_cast<double>(lo), high = static_cast<double>(hi);
  F64x2 p_lo = splat(static_cast<double>(s.p_lo)), p_hi = splat(static_cast<double>(s.p_hi));
  F64x2 n_lo = splat(static_cast<double>(s.n_lo)), n_hi = splat(static_cast<double>(s.n_hi));
  I64x2 held{-1, -1};
  for (int h = 0; h < Pairs; ++h) {
    const F64x2 a = row_term(e.dx[h], e.y[h], splat(Y));
    // The nearest column to the crossing; a NaN estimate (from an infinite
    // row term) becomes lo, as max returns its second operand on NaN.
    const F64x2 g = e.x[h] + a * e.inv_dy[h];  // - 0.5, then + 0.5 to round
    const F64x2 within = smaller(larger(g, splat(low)), splat(high - 1.0));
    const F64x2 c = __builtin_convertvector(__builtin_convertvector(within, I32x2), F64x2);
    const F64x2 first = c - 1.0, past = c + 2.0;
    const F64x2 v0 = a - column_term(e.dy[h], e.x[h], c - 0.5);
    const F64x2 v1 = a - column_term(e.dy[h], e.x[h], c + 0.5);
    const F64x2 v2 = a - column_term(e.dy[h], e.x[h], c + 1.5);
    const I64x2 pos0 = clearly_positive(v0), neg0 = clearly_negative(v0);
    const I64x2 pos2 = clearly_positive(v2), neg2 = clearly_negative(v2);
    const F64x2 pos_count = count_set(pos0 + clearly_positive(v1) + pos2);
    const F64x2 neg_count = count_set(neg0 + clearly_negative(v1) + neg2);
    const I64x2 at_lo = first <= low, at_hi = past >= high;
    held &= (~e.falling[h] | ((pos0 | at_lo) & (neg2 | at_hi))) &
            (~e.rising[h] | ((neg0 | at_lo) & (pos2 | at_hi)));
    p_lo = larger(p_lo, (first + pos_count) + e.falling_low[h]);
    n_hi = smaller(n_hi, (past - neg_count) + e.falling_high[h]);
    p_hi = smaller(p_hi, (past - pos_count) + e.rising_high[h]);
    n_lo = larger(n_lo, (first + neg_count) + e.rising_low[h]);
  }
  if (!all_lanes(held)) return false;
  // Whole numbers within a few of [lo, hi], or the spans' own bounds.
  s.p_lo = static_cast<std::int64_t>(std::max(p_lo[0], p_lo[1]));
  s.p_hi = static_cast<std::int64_t>(std::min(p_hi[0], p_hi[1]));
  s.n_lo = static_cast<std::int64_t>(std::max(n_lo[0], n_lo[1]));
  s.n_hi = static_cast<std::int64_t>(std::min(n_hi[0], n_hi[1]));
  return true;
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

// The rows on which a slanted edge must be tested. Its value is monotone in
// the row too (for a fixed column, Y - y, dx * t and a - u are rounded
// monotonically), so the rows where it is clearly negative at the box
// column where it is largest form a run at one end of the box's rows, and
// the rows where it is clearly positive at the column where it is smallest a
// run at the other end. On the first kind of row the edge is negative on the
// whole row, which empties N; on the second, positive, which empties P.
// Rows [active_lo, active_hi) lie between the two runs.
constexpr std::int64_t kRowsForEdgeRows = 16;

struct EdgeRows {
  std::int64_t active_lo, active_hi;
  bool p_before;  // the run before active_lo empties P (else N); the run after, the other
};

EdgeRows edge_rows(const Edges& e, int k, std::int64_t lo, std::int64_t hi, std::int64_t first,
                   std::int64_t last) {
  const double x = e.x[k], y = e.y[k], dx = e.dx[k], dy = e.dy[k];
  const double largest_at = pixel_centre(dy > 0 ? lo : hi - 1);
  const double smallest_at = pixel_centre(dy > 0 ? hi - 1 : lo);
  const auto value = [&](std::int64_t i, double X) {
    return row_term(dx, y, pixel_centre(i)) - column_term(dy, x, X);
  };
  // The row where the value at X is zero, as a starting guess.
  const auto guess = [&](double X) {
    return crossing_guess(y, column_term(dy, x, X), 1.0 / dx, first, last);
  };
  EdgeRows r;
  if (dx > 0) {  // the value rises from row to row: negative rows first
    r.p_before = false;
    r.active_lo = first_where([&](std::int64_t i) { return !clearly_negative(value(i, largest_at)); },
                              first, last, guess(largest_at));
    r.active_hi = r.active_lo == last
                      ? last
                      : first_where([&](std::int64_t i) { return clearly_positive(value(i, smallest_at)); },
                                    r.active_lo, last, guess(smallest_at));
  } else {  // it falls: positive rows first
    r.p_before = true;
    r.active_lo = first_where([&](std::int64_t i) { return !clearly_positive(value(i, smallest_at)); },
                              first, last, guess(smallest_at));
    r.active_hi = r.active_lo == last
                      ? last
                      : first_where([&](std::int64_t i) { return clearly_negative(value(i, largest_at)); },
                                    r.active_lo, last, guess(largest_at));
  }
  return r;
}

// Rows [first, last) with the slanted edges ks[0 .. n) tested on each row,
// two to a vector in Pairs vectors, and `fixed` holding the bounds of all
// other edges but the level ones.
template <int Pairs>
void fill_rows(const PreparedQuad& q, const Edges& e, const Spans& fixed, const int* ks, int n,
               const int* flat, int flats, std::int64_t first, std::int64_t last,
               const TargetImage& target, bool stream) {
  const std::int64_t lo = q.x0, hi = q.x1;
  EdgePairs pairs;
  if (Pairs > 0) pairs = pairs_of(e, ks, n);
  for (std::int64_t i = first; i < last; ++i) {
    const double Y = pixel_centre(i);
    Spans s = fixed;
    if (Pairs > 0 && __builtin_expect(!window_spans<Pairs>(pairs, Y, lo, hi, s), 0)) {
      s = fixed;
      for (int m = 0; m < n; ++m) {
        const int k = ks[m];
        narrow(s, e, k, row_term(e.dx[k], e.y[k], Y), 1.0 / e.dy[k], lo, hi);
      }
    }
    for (int f = 0; f < flats; ++f) {
      const int k = flat[f];
      const double a = row_term(e.dx[k], e.y[k], Y);
      if (clearly_positive(a)) s.p_hi = s.p_lo;
      if (clearly_negative(a)) s.n_hi = s.n_lo;
    }
    if (!s.empty())
      store_spans(s, buffer_row(target, static_cast<std::int32_t>(i)), target.col_stride,
                  q.colour, stream);
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
  // On a few rows, finding each edge's rows costs more than testing it.
  const bool few_rows = last - first < kRowsForEdgeRows;
  EdgeRows rows[4];
  for (int m = 0; m < slants; ++m)
    rows[m] = few_rows ? EdgeRows{first, last, false}
                       : edge_rows(e, slanted[m], lo, hi, first, last);

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
    if (!s.empty()) {
      if (n == 0) {
        fill_rows<0>(q, e, s, ks, n, flat, flats, from, to, target, stream);
      } else if (n <= 2) {
        fill_rows<1>(q, e, s, ks, n, flat, flats, from, to, target, stream);
      } else {
        fill_rows<2>(q, e, s, ks, n, flat, flats, from, to, target, stream);
      }
    }
    from = to;
  }
  if (stream) finish_streaming();
}

}  // namespace quadlite
