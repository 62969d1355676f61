// Boxes wider than a few columns, row by row: each row's covered columns are
// at most two runs, whose ends are settled with the edge test itself.
#include <algorithm>

#include "render/pixel_stores.hpp"
#include "render/quad_fill.hpp"

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
// interval end is found with the same edge test as the per-pixel rule,
// started at the estimated crossing and settled by galloping and bisection.

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

void store_spans(const Spans& s, std::uint8_t* row, std::int64_t col_stride,
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

}  // namespace

void fill_spans(const PreparedQuad& q, const Edges& e,
                                          std::int32_t first, std::int32_t last,
                                          const TargetImage& target) {
  const std::int64_t lo = q.x0, hi = q.x1;
  // Edges with dx == 0 have a == +-0 on every row, so their spans are the
  // same on all rows; edges with dy == 0 have one class per row (a's); an
  // edge with both zero is neutral everywhere.
  Spans fixed{lo, hi, lo, hi};
  int flat[4], slanted[4];
  double inv_dy[4];
  int flats = 0, slants = 0;
  for (int k = 0; k < 4; ++k) {
    if (e.dy[k] == 0.0) {
      if (e.dx[k] != 0.0) flat[flats++] = k;
    } else if (e.dx[k] == 0.0) {
      if (!fixed.empty()) narrow(fixed, e, k, 0.0, 1.0 / e.dy[k], lo, hi);
    } else {
      inv_dy[slants] = 1.0 / e.dy[k];
      slanted[slants++] = k;
    }
  }
  if (fixed.empty()) return;
  const bool stream = hi - lo >= kStreamedRun && streams(target);

  for (std::int32_t i = first; i < last; ++i) {
    const double Y = static_cast<double>(i) + 0.5;
    Spans s = fixed;
    for (int f = 0; f < flats; ++f) {
      const int k = flat[f];
      const double a = row_term(e.dx[k], e.y[k], Y);
      if (clearly_positive(a)) s.p_hi = s.p_lo;
      if (clearly_negative(a)) s.n_hi = s.n_lo;
    }
    for (int m = 0; m < slants && !s.empty(); ++m) {
      const int k = slanted[m];
      narrow(s, e, k, row_term(e.dx[k], e.y[k], Y), inv_dy[m], lo, hi);
    }
    if (!s.empty())
      store_spans(s, buffer_row(target, i), target.col_stride, q.colour, stream);
  }
  if (stream) finish_streaming();
}


}  // namespace quadlite
