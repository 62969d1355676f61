// Boxes wider than a few columns, row by row: each row's covered columns are
// at most two runs, whose ends are settled with the edge test itself.
// The edge helpers are instantiated for four-lane vectors but always
// inlined into AVX2 code, so no such vector crosses a call.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <algorithm>

#include "render/pixel_stores.hpp"
#include "render/quad_fill.hpp"
#include "render/span_bounds.hpp"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace quadlite {
namespace {

using namespace span_bounds;

// On a few rows, finding each edge's rows costs more than testing it.
constexpr std::int64_t kRowsForEdgeRows = 16;

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
// (nearly level edges, huge coordinates). An edge whose class is the same
// across the box on a row is not tested there: edge_rows() finds those rows.

// Vectors of W doubles for the window below: two lanes, or four in code
// built for AVX2. The mask of a comparison and the whole numbers of a
// conversion have as many lanes.
template <class V>
constexpr int kWidth = sizeof(V) / sizeof(double);
template <class V>
using MaskOf = decltype(V{} < V{});
template <class V>
struct IntsOf;
template <>
struct IntsOf<F64x2> {
  using type = I32x2;
};
template <>
struct IntsOf<F64x4> {
  using type = I32x4;
};

template <class V>
QUADLITE_INLINE V splat_of(double v) {
  V out;
  for (int l = 0; l < kWidth<V>; ++l) out[l] = v;
  return out;
}

// Edges ks[0 .. n) W to a vector in N vectors, in order; a lane past n is
// inert. Slanted edges (dx, dy != 0) are marked falling (dy > 0) or rising;
// level and upright edges are neither and are left to the caller. The
// offsets are 0 on the lanes of their kind and infinite elsewhere, so that
// adding them leaves other lanes out of a maximum (low) or minimum (high).
template <class V, int N>
struct EdgeLanes {
  V x[N], y[N], dx[N], dy[N], inv_dy[N];
  MaskOf<V> falling[N], rising[N];
  V falling_low[N], falling_high[N], rising_low[N], rising_high[N];
};

template <class V, int N>
QUADLITE_INLINE EdgeLanes<V, N> lanes_of(const Edges& e, const int* ks, int n) {
  constexpr int W = kWidth<V>;
  const double inf = __builtin_inf();
  EdgeLanes<V, N> p;
  for (int lane = 0; lane < N * W; ++lane) {
    const int h = lane / W, l = lane % W;
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
template <class V>
QUADLITE_INLINE V count_set(MaskOf<V> sum_of_masks) {
  const auto two_52 = reinterpret_cast<MaskOf<V>>(splat_of<V>(4503599627370496.0));
  return reinterpret_cast<V>(two_52 - sum_of_masks) - 4503599627370496.0;
}

// Lane by lane maximum and minimum, as the processor's max and min: the
// second operand where either is NaN.
template <class V>
QUADLITE_INLINE V larger(V a, V b) {
  return a > b ? a : b;
}
template <class V>
QUADLITE_INLINE V smaller(V a, V b) {
  return a < b ? a : b;
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
template <class V, int N>
QUADLITE_INLINE bool window_spans(const EdgeLanes<V, N>& e, double Y, std::int64_t lo,
                                  std::int64_t hi, Spans& s) {
  using M = MaskOf<V>;
  const V low = splat_of<V>(static_cast<double>(lo)), high = splat_of<V>(static_cast<double>(hi));
  V p_lo = splat_of<V>(static_cast<double>(s.p_lo)), p_hi = splat_of<V>(static_cast<double>(s.p_hi));
  V n_lo = splat_of<V>(static_cast<double>(s.n_lo)), n_hi = splat_of<V>(static_cast<double>(s.n_hi));
  M held = V{} == V{};
  for (int h = 0; h < N; ++h) {
    const V a = row_term(e.dx[h], e.y[h], splat_of<V>(Y));
    // The nearest column to the crossing; a NaN estimate (from an infinite
    // row term) becomes lo, as larger() returns its second operand on NaN.
    const V g = e.x[h] + a * e.inv_dy[h];  // - 0.5, then + 0.5 to round
    const V within = smaller(larger(g, low), high - 1.0);
    const V c = __builtin_convertvector(
        __builtin_convertvector(within, typename IntsOf<V>::type), V);
    const V first = c - 1.0, past = c + 2.0;
    const V v0 = a - column_term(e.dy[h], e.x[h], c - 0.5);
    const V v1 = a - column_term(e.dy[h], e.x[h], c + 0.5);
    const V v2 = a - column_term(e.dy[h], e.x[h], c + 1.5);
    const M pos0 = clearly_positive(v0), neg0 = clearly_negative(v0);
    const M pos2 = clearly_positive(v2), neg2 = clearly_negative(v2);
    const V pos_count = count_set<V>(pos0 + clearly_positive(v1) + pos2);
    const V neg_count = count_set<V>(neg0 + clearly_negative(v1) + neg2);
    const M at_lo = first <= low, at_hi = past >= high;
    held &= (~e.falling[h] | ((pos0 | at_lo) & (neg2 | at_hi))) &
            (~e.rising[h] | ((neg0 | at_lo) & (pos2 | at_hi)));
    p_lo = larger(p_lo, (first + pos_count) + e.falling_low[h]);
    n_hi = smaller(n_hi, (past - neg_count) + e.falling_high[h]);
    p_hi = smaller(p_hi, (past - pos_count) + e.rising_high[h]);
    n_lo = larger(n_lo, (first + neg_count) + e.rising_low[h]);
  }
  std::int64_t all = -1;
  for (int l = 0; l < kWidth<V>; ++l) all &= held[l];
  if (all == 0) return false;
  // Whole numbers within a few of [lo, hi], or the spans' own bounds.
  double pl = p_lo[0], ph = p_hi[0], nl = n_lo[0], nh = n_hi[0];
  for (int l = 1; l < kWidth<V>; ++l) {
    pl = std::max(pl, p_lo[l]);
    ph = std::min(ph, p_hi[l]);
    nl = std::max(nl, n_lo[l]);
    nh = std::min(nh, n_hi[l]);
  }
  s.p_lo = static_cast<std::int64_t>(pl);
  s.p_hi = static_cast<std::int64_t>(ph);
  s.n_lo = static_cast<std::int64_t>(nl);
  s.n_hi = static_cast<std::int64_t>(nh);
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

// Rows [first, last) with the slanted edges ks[0 .. n) tested on each row,
// W to a vector in N vectors (none when N is 0), and `fixed` holding the
// bounds of all other edges but the level ones.
template <class V, int N>
QUADLITE_INLINE void fill_rows(const PreparedQuad& q, const Edges& e, const Spans& fixed,
                               const int* ks, int n, const int* flat, int flats,
                               std::int64_t first, std::int64_t last, const TargetImage& target,
                               bool stream) {
  const std::int64_t lo = q.x0, hi = q.x1;
  EdgeLanes<V, N == 0 ? 1 : N> lanes;
  if (N > 0) lanes = lanes_of<V, N == 0 ? 1 : N>(e, ks, n);
  for (std::int64_t i = first; i < last; ++i) {
    const double Y = pixel_centre(i);
    Spans s = fixed;
    if (N > 0 && __builtin_expect(!window_spans(lanes, Y, lo, hi, s), 0)) {
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

#if defined(__x86_64__)
#define QUADLITE_SPAN_LANES_4 1
// Three or four edges in one vector of four.
__attribute__((target("avx2"))) void fill_rows_wide(const PreparedQuad& q, const Edges& e,
                                                    const Spans& fixed, const int* ks, int n,
                                                    const int* flat, int flats,
                                                    std::int64_t first, std::int64_t last,
                                                    const TargetImage& target, bool stream) {
  fill_rows<F64x4, 1>(q, e, fixed, ks, n, flat, flats, first, last, target, stream);
}
#endif

}  // namespace

void fill_spans(const PreparedQuad& q, const Edges& e, std::int32_t first, std::int32_t last,
                const TargetImage& target, int lanes) {
#if !defined(QUADLITE_SPAN_LANES_4)
  (void)lanes;
#endif
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
  if (slants == 0) {  // the common axis-aligned cell: one run of rows
    fill_rows<F64x2, 0>(q, e, fixed, slanted, 0, flat, flats, first, last, target, stream);
    if (stream) finish_streaming();
    return;
  }
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
        fill_rows<F64x2, 0>(q, e, s, ks, n, flat, flats, from, to, target, stream);
      } else if (n <= 2) {
        fill_rows<F64x2, 1>(q, e, s, ks, n, flat, flats, from, to, target, stream);
#if defined(QUADLITE_SPAN_LANES_4)
      } else if (lanes >= 4) {
        fill_rows_wide(q, e, s, ks, n, flat, flats, from, to, target, stream);
#endif
      } else {
        fill_rows<F64x2, 2>(q, e, s, ks, n, flat, flats, from, to, target, stream);
      }
    }
    from = to;
  }
  if (stream) finish_streaming();
}

}  // namespace quadlite
