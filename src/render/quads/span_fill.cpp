// Boxes wider than a few columns, row by row: each row's covered columns are
// at most two runs, P and N (row_ends.hpp), whose ends are settled with
// the edge test itself. Each edge is tested only on the rows where it can
// bound a run (edge_rows); on the others it empties P or N whole.
#include <algorithm>

#include "render/pixel_stores.hpp"
#include "render/quads/bound_search.hpp"
#include "render/quads/quad_fill.hpp"
#include "render/quads/row_ends.hpp"

namespace quadlite {
namespace {

using bound_search::crossing_guess;
using bound_search::edge_rows;
using bound_search::EdgeRows;
using bound_search::first_where;
using bound_search::Spans;
using row_ends::EndPair;
using row_ends::lane_end;
using row_ends::search_end;
using row_ends::set_pair;
using row_ends::settle_pair;
using row_ends::span_end;
using row_ends::SpanEnd;

// How many rows ahead of its stores a row's lines are prefetched, and how
// many of a box's first rows before its first store.
constexpr std::int64_t kRowsAhead = 8;
constexpr std::int64_t kBoxRowsAhead = 24;

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

// A level edge (dy == 0) has one class on a whole row: positive empties P,
// negative N.
QUADLITE_INLINE void cut_by_level_edges(Spans& s, const Edges& e, const int* flat, int flats,
                                        double Y) {
  for (int f = 0; f < flats; ++f) {
    const int k = flat[f];
    const double a = row_term(e.dx[k], e.y[k], Y);
    if (clearly_positive(a)) s.p_hi = s.p_lo;
    if (clearly_negative(a)) s.n_hi = s.n_lo;
  }
}

// Row i's run, [begin, end) when not empty, in rows [.., last) of which
// those before `fetched` were prefetched with the box.
QUADLITE_INLINE void put_run(const PreparedQuad& q, const TargetImage& target, std::int64_t i,
                             std::int64_t last, std::int64_t fetched, std::int64_t begin,
                             std::int64_t end, bool stream) {
  if (begin >= end) return;
  // The rows below are near this one: their lines are asked for a few rows
  // ahead, so that their misses overlap the work in between.
  const std::int64_t ahead = i + kRowsAhead;
  if (ahead >= fetched && ahead < last && !(stream && end - begin >= kStreamedRun))
    prefetch_run(buffer_row(target, i + kRowsAhead), target.col_stride, begin, end);
  store_run(buffer_row(target, i), target.col_stride, begin, end, q.colour, stream);
}

// Rows [first, last) of a single span, [begin, end) narrowed by the ends of
// pair p.
void one_span_rows(const PreparedQuad& q, const EndPair& p, std::int64_t begin, std::int64_t end,
                   std::int64_t first, std::int64_t last, std::int64_t fetched,
                   const TargetImage& target, bool stream) {
  const std::int64_t lo = q.x0, hi = q.x1;
  const F64x2 low = splat(static_cast<double>(lo)), high = splat(static_cast<double>(hi));
  // {lower, -upper}, so that one max takes both bounds.
  const F64x2 start{static_cast<double>(begin), -static_cast<double>(end)};
  for (std::int64_t i = first; i < last; ++i) {
    F64x2 f = settle_pair(p, pixel_centre(i), low, high, lo, hi) * F64x2{1.0, -1.0} +
              p.inert_offset;
    f = f > start ? f : start;
    put_run(q, target, i, last, fetched, static_cast<std::int64_t>(f[0]),
            static_cast<std::int64_t>(-f[1]), stream);
  }
}

// Rows [first, last), starting from the spans `fixed` (the bounds of the
// upright edges and of the edges inactive on these rows), narrowed on each
// row by the slanted edges ks[0 .. n) and emptied by the level edges
// flat[0 .. flats).
void fill_rows(const PreparedQuad& q, const Edges& e, const Spans& fixed, const SpanEnd* p_end,
               const SpanEnd* n_end, const int* ks, int n, const int* flat, int flats,
               std::int64_t first, std::int64_t last, std::int64_t fetched,
               const TargetImage& target, bool stream) {
  const std::int64_t lo = q.x0, hi = q.x1;
  const F64x2 low = splat(static_cast<double>(lo)), high = splat(static_cast<double>(hi));
  const bool has_p = fixed.p_lo < fixed.p_hi, has_n = fixed.n_lo < fixed.n_hi;
  if (n == 0) {  // the axis-aligned cell: the same spans on every row but where level edges cut
    for (std::int64_t i = first; i < last; ++i) {
      Spans s = fixed;
      cut_by_level_edges(s, e, flat, flats, pixel_centre(i));
      if (!s.empty())
        store_spans(s, buffer_row(target, i), target.col_stride, q.colour, stream);
    }
    return;
  }
  SpanPairs p_ends, n_ends;
  if (has_p) pair_up(p_ends, p_end, ks, n);
  if (has_n) pair_up(n_ends, n_end, ks, n);
  // The common convex cell: one span, an edge on either side.
  if (flats == 0 && (has_p != has_n) && (has_p ? p_ends : n_ends).count == 1) {
    const EndPair& p = (has_p ? p_ends : n_ends).pair[0];
    const std::int64_t begin = has_p ? fixed.p_lo : fixed.n_lo;
    const std::int64_t end = has_p ? fixed.p_hi : fixed.n_hi;
    one_span_rows(q, p, begin, end, first, last, fetched, target, stream);
    return;
  }
  for (std::int64_t i = first; i < last; ++i) {
    const double Y = pixel_centre(i);
    Spans s = fixed;
    if (has_p) span_on_row(p_ends, Y, low, high, lo, hi, s.p_lo, s.p_hi);
    if (has_n) span_on_row(n_ends, Y, low, high, lo, hi, s.n_lo, s.n_hi);
    cut_by_level_edges(s, e, flat, flats, Y);
    if (!s.empty())
      store_spans(s, buffer_row(target, i), target.col_stride, q.colour, stream);
  }
}

// Narrows `s` by an upright edge (dx == 0): its row term is +-0 on every
// row, so its ends, settled on any row Y, hold on all.
void narrow_by_upright(Spans& s, const Edges& e, int k, std::int64_t lo, std::int64_t hi,
                       double Y) {
  const bool rising = e.dy[k] < 0.0;
  const SpanEnd lower = span_end(e, k, !rising), upper = span_end(e, k, rising);
  EndPair p;
  set_pair(p, &lower, &upper);
  const F64x2 f = settle_pair(p, Y, splat(static_cast<double>(lo)),
                              splat(static_cast<double>(hi)), lo, hi);
  std::int64_t& begin = rising ? s.n_lo : s.p_lo;
  std::int64_t& end = rising ? s.p_hi : s.n_hi;
  begin = std::max(begin, static_cast<std::int64_t>(f[0]));
  end = std::min(end, static_cast<std::int64_t>(f[1]));
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
      narrow_by_upright(fixed, e, k, lo, hi, pixel_centre(first));
    } else {
      slanted[slants++] = k;
    }
  }
  if (fixed.empty()) return;
  const bool stream = hi - lo >= kStreamedRun && streams(target);
  // Runs prefetch the lines of the rows ahead of them; before the first
  // run, the box's first rows are asked for, which covers a small cell
  // whole. Streamed runs bypass the caches and want none of this.
  const std::int64_t fetched =
      stream ? first : std::min<std::int64_t>(last, first + kBoxRowsAhead);
  for (std::int64_t i = first; i < fetched; ++i)
    prefetch_run(buffer_row(target, i), target.col_stride, lo, hi);
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
      fill_rows(q, e, s, p_end, n_end, ks, n, flat, flats, from, to, fetched, target, stream);
    from = to;
  }
  if (stream) finish_streaming();
}

}  // namespace quadlite
