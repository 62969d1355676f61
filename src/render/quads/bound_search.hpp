// Exact bounds by search: the first column (or row) where a monotone edge
// test holds, and the rows on which an edge can bound a run. The span fill
// searches where its estimate of a row's end misses.
#pragma once

#include <algorithm>
#include <cstdint>

#include "render/edge_rule.hpp"

namespace quadlite {
namespace bound_search {

// The first column (or row) in [lo, hi) where `yes` holds, or hi; `yes` must
// be false then true along them. `guess` is where to start looking.
template <class Test>
inline std::int64_t first_where(const Test& yes, std::int64_t lo, std::int64_t hi, std::int64_t guess) {
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

// The rows on which a slanted edge must be tested. Its value is monotone in
// the row too (for a fixed column, Y - y, dx * t and a - u are rounded
// monotonically), so the rows where it is clearly negative at the box
// column where it is largest form a run at one end of the box's rows, and
// the rows where it is clearly positive at the column where it is smallest a
// run at the other end. On the first kind of row the edge is negative on the
// whole row, which empties N; on the second, positive, which empties P.
// Rows [active_lo, active_hi) lie between the two runs.
struct EdgeRows {
  std::int64_t active_lo, active_hi;
  bool p_before;  // the run before active_lo empties P (else N); the run after, the other
};

inline EdgeRows edge_rows(const Edges& e, int k, std::int64_t lo, std::int64_t hi, std::int64_t first,
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

}  // namespace bound_search
}  // namespace quadlite
