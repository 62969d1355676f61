#include "render/fill_pass.hpp"

#include "render/quad_geometry.hpp"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace quadlite {
namespace {

// The quad's edges P_k -> P_{k+1}, with the differences that do not depend
// on the pixel taken out of the pixel loop; each edge value is still formed
// as (dx * (Y - y_k)) - (dy * (X - x_k)), rounded step by step.
struct Edges {
  double x[4], y[4];    // edge start points
  double dx[4], dy[4];  // edge vectors
};

Edges edges_of(const Point p[4]) {
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

// Covered unless one edge value is clearly positive and another clearly
// negative; NaN compares false both ways and so is neutral.
inline bool covered(const Edges& e, const double row_offset[4], double X) {
  bool positive = false;
  bool negative = false;
  for (int k = 0; k < 4; ++k) {
    const double value = e.dx[k] * row_offset[k] - e.dy[k] * (X - e.x[k]);
    positive |= value > kTolerance;
    negative |= value < -kTolerance;
  }
  return !(positive && negative);
}

inline double centre(std::int64_t j) { return static_cast<double>(j) + 0.5; }

// Runs at least this long (pixels) in images at least this large (bytes)
// bypass the caches; see store_run.
constexpr std::int64_t kStreamedRun = 64;
constexpr std::int64_t kStreamedImage = std::int64_t{32} << 20;

// Bit k set when lane k of a comparison result is true.
inline unsigned lane_bits(I64x2 m) {
#if defined(__SSE2__)
  return static_cast<unsigned>(_mm_movemask_pd(_mm_castsi128_pd(reinterpret_cast<__m128i>(m))));
#else
  return static_cast<unsigned>((m[0] & 1) | (m[1] & 2));
#endif
}

// covered() for a single centre, edges 0 and 2 in one vector, 1 and 3 in
// another.
inline bool covers_centre(const Point p[4], double X, double Y) {
  const F64x2 xa{p[0].x, p[2].x}, ya{p[0].y, p[2].y};  // starts of edges 0, 2
  const F64x2 xb{p[1].x, p[3].x}, yb{p[1].y, p[3].y};  // their ends; starts of 1, 3
  const F64x2 xc{p[2].x, p[0].x}, yc{p[2].y, p[0].y};  // ends of edges 1, 3
  const F64x2 e02 = (xb - xa) * (splat(Y) - ya) - (yb - ya) * (splat(X) - xa);
  const F64x2 e13 = (xc - xb) * (splat(Y) - yb) - (yc - yb) * (splat(X) - xb);
  const I64x2 positive = (e02 > splat(kTolerance)) | (e13 > splat(kTolerance));
  const I64x2 negative = (e02 < splat(-kTolerance)) | (e13 < splat(-kTolerance));
  return !((positive[0] | positive[1]) && (negative[0] | negative[1]));
}

// Device row i is buffer row height - 1 - i.
inline std::uint8_t* row_address(const TargetImage& t, std::int32_t i) {
  return t.data + (static_cast<std::int64_t>(t.height) - 1 - i) * t.row_stride;
}

// Columns [begin, end) of a row get the colour, four bytes each. With
// `stream`, whole 64-byte lines inside a long run are written around the
// caches: an image far larger than them would otherwise have every line
// read in before it is overwritten.
inline void store_run(std::uint8_t* row, std::int64_t col_stride, std::int64_t begin,
                      std::int64_t end, std::uint32_t colour, bool stream = false) {
  std::uint8_t* p = row + begin * col_stride;
  std::int64_t n = end - begin;
  if (col_stride != 4) {
    for (; n > 0; --n, p += col_stride) std::memcpy(p, &colour, 4);
    return;
  }
#if defined(__SSE2__)
  if (stream && n >= kStreamedRun) {
    // Up to a line boundary (never reached if p is not 4-byte aligned).
    for (; n > 0 && (reinterpret_cast<std::uintptr_t>(p) & 63) != 0; --n, p += 4)
      std::memcpy(p, &colour, 4);
    const __m128i four = _mm_set1_epi32(static_cast<int>(colour));
    for (; n >= 16; n -= 16, p += 64) {
      __m128i* line = reinterpret_cast<__m128i*>(p);
      _mm_stream_si128(line, four);
      _mm_stream_si128(line + 1, four);
      _mm_stream_si128(line + 2, four);
      _mm_stream_si128(line + 3, four);
    }
  }
#else
  (void)stream;
#endif
  for (; n > 0; --n, p += 4) std::memcpy(p, &colour, 4);
}

// Streamed stores are ordered before anything that follows.
inline void finish_streaming() {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

// Whether the target is large enough that long runs are worth streaming.
inline bool streams(const TargetImage& t) {
  const std::int64_t row_bytes = t.row_stride < 0 ? -t.row_stride : t.row_stride;
  return row_bytes * t.height >= kStreamedImage;
}

// ---- Spans ----------------------------------------------------------------
//
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
  const auto value = [&](std::int64_t j) { return a - dy * (centre(j) - x); };
  const std::int64_t guess = crossing_guess(x, a, inv_dy, lo, hi);
  if (dy > 0) {  // the value falls along the row
    if (s.p_lo < s.p_hi)
      s.p_lo = first_where([&](std::int64_t j) { return !(value(j) > kTolerance); }, s.p_lo,
                           s.p_hi, guess);
    if (s.n_lo < s.n_hi)
      s.n_hi = first_where([&](std::int64_t j) { return value(j) < -kTolerance; }, s.n_lo,
                           s.n_hi, guess);
  } else {  // it rises
    if (s.p_lo < s.p_hi)
      s.p_hi = first_where([&](std::int64_t j) { return value(j) > kTolerance; }, s.p_lo,
                           s.p_hi, guess);
    if (s.n_lo < s.n_hi)
      s.n_lo = first_where([&](std::int64_t j) { return !(value(j) < -kTolerance); }, s.n_lo,
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

// Stores the colour at every set bit of a coverage mask: byte r holds
// device row block + r, bit c of it column c from column0.
inline void store_mask(std::uint64_t mask, std::int64_t block, std::uint8_t* column0,
                       const TargetImage& target, std::uint32_t colour) {
  for (; mask != 0; mask &= mask - 1) {
    const int bit = __builtin_ctzll(mask);
    // Device row i is buffer row height - 1 - i.
    const std::int64_t buffer_row = std::int64_t{target.height} - 1 - (block + (bit >> 3));
    std::memcpy(column0 + buffer_row * target.row_stride + (bit & 7) * target.col_stride,
                &colour, 4);
  }
}

// Pixel by pixel for a box at most 2 * kPairs columns wide (the box's own
// columns are masked in). The products dy * (X - x) do not depend on the
// row, so they are formed once per column; a row then costs one
// subtraction and two comparisons per edge and column, two columns to a
// vector. The coverage of up to 8 rows is gathered into one mask, a byte a
// row, before any store, so that neither empty rows nor short runs cost a
// branch each.
template <int kPairs>
void fill_narrow(const PreparedQuad& q, const Edges& e, std::int32_t first, std::int32_t last,
                 const TargetImage& target) {
  static_assert(kPairs >= 1 && kPairs <= 4, "a row's columns fit a byte");
  constexpr int kRowsPerMask = 8;
  F64x2 u[4][kPairs];
  for (int c = 0; c < kPairs; ++c) {
    const std::int64_t j = std::int64_t{q.x0} + 2 * c;
    const F64x2 X{centre(j), centre(j + 1)};
    for (int k = 0; k < 4; ++k) u[k][c] = splat(e.dy[k]) * (X - splat(e.x[k]));
  }
  const std::uint64_t in_box = (std::uint64_t{1} << (q.x1 - q.x0)) - 1u;
  const F64x2 above = splat(kTolerance), below = splat(-kTolerance);
  std::uint8_t* const column0 = target.data + std::int64_t{q.x0} * target.col_stride;
  // 64-bit: a block of 8 rows may start within 8 rows of INT32_MAX.
  for (std::int64_t block = first; block < last; block += kRowsPerMask) {
    const int rows = static_cast<int>(std::min<std::int64_t>(kRowsPerMask, last - block));
    std::uint64_t mask = 0;
    for (int r = 0; r < rows; ++r) {
      const double Y = static_cast<double>(block + r) + 0.5;
      F64x2 a[4];
      for (int k = 0; k < 4; ++k) a[k] = splat(e.dx[k] * (Y - e.y[k]));
      std::uint64_t row_mask = 0;
      for (int c = 0; c < kPairs; ++c) {
        I64x2 positive{0, 0}, negative{0, 0};
        for (int k = 0; k < 4; ++k) {
          const F64x2 value = a[k] - u[k][c];
          positive |= value > above;
          negative |= value < below;
        }
        row_mask |= std::uint64_t{lane_bits(~(positive & negative))} << (2 * c);
      }
      mask |= (row_mask & in_box) << (8 * r);
    }
    store_mask(mask, block, column0, target, q.colour);
  }
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUADLITE_WIDE_VECTORS 1
using F64x4 = double __attribute__((vector_size(32)));
using I64x4 = std::int64_t __attribute__((vector_size(32)));

// fill_narrow with four columns to a vector, for processors with AVX2: the
// same operations lane by lane (no fused multiply-add), so the same bytes.
// Everything wide stays inside this function, which alone is compiled for
// AVX2.
template <int kQuads>
__attribute__((target("avx2"))) void fill_narrow_wide(const PreparedQuad& q, const Edges& e,
                                                      std::int32_t first, std::int32_t last,
                                                      const TargetImage& target) {
  static_assert(kQuads == 1 || kQuads == 2, "a row's columns fit a byte");
  F64x4 u[4][kQuads];
  for (int c = 0; c < kQuads; ++c) {
    const std::int64_t j = std::int64_t{q.x0} + 4 * c;
    const F64x4 X{centre(j), centre(j + 1), centre(j + 2), centre(j + 3)};
    for (int k = 0; k < 4; ++k) {
      const F64x4 dy{e.dy[k], e.dy[k], e.dy[k], e.dy[k]};
      const F64x4 x{e.x[k], e.x[k], e.x[k], e.x[k]};
      u[k][c] = dy * (X - x);
    }
  }
  const std::uint64_t in_box = (std::uint64_t{1} << (q.x1 - q.x0)) - 1u;
  const F64x4 above{kTolerance, kTolerance, kTolerance, kTolerance};
  const F64x4 below = -above;
  std::uint8_t* const column0 = target.data + std::int64_t{q.x0} * target.col_stride;
  for (std::int64_t block = first; block < last; block += 8) {
    const int rows = static_cast<int>(std::min<std::int64_t>(8, last - block));
    std::uint64_t mask = 0;
    for (int r = 0; r < rows; ++r) {
      const double Y = static_cast<double>(block + r) + 0.5;
      F64x4 a[4];
      for (int k = 0; k < 4; ++k) {
        const double v = e.dx[k] * (Y - e.y[k]);
        a[k] = F64x4{v, v, v, v};
      }
      std::uint64_t row_mask = 0;
      for (int c = 0; c < kQuads; ++c) {
        I64x4 positive{0, 0, 0, 0}, negative{0, 0, 0, 0};
        for (int k = 0; k < 4; ++k) {
          const F64x4 value = a[k] - u[k][c];
          positive |= value > above;
          negative |= value < below;
        }
        const I64x4 covered = ~(positive & negative);
        row_mask |= std::uint64_t(_mm256_movemask_pd(
                        _mm256_castsi256_pd(reinterpret_cast<__m256i>(covered))))
                    << (4 * c);
      }
      mask |= (row_mask & in_box) << (8 * r);
    }
    store_mask(mask, block, column0, target, q.colour);
  }
}
#endif

// Row by row as spans. Kept out of line: the pixel-by-pixel paths for small
// boxes run far more often and stay compact without it.
__attribute__((noinline)) void fill_spans(const PreparedQuad& q, const Edges& e,
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
      const double a = e.dx[k] * (Y - e.y[k]);
      if (a > kTolerance) s.p_hi = s.p_lo;
      if (a < -kTolerance) s.n_hi = s.n_lo;
    }
    for (int m = 0; m < slants && !s.empty(); ++m) {
      const int k = slanted[m];
      narrow(s, e, k, e.dx[k] * (Y - e.y[k]), inv_dy[m], lo, hi);
    }
    if (!s.empty())
      store_spans(s, row_address(target, i), target.col_stride, q.colour, stream);
  }
  if (stream) finish_streaming();
}

}  // namespace

bool covers(const Point p[4], double cx, double cy) {
  const Edges e = edges_of(p);
  const double row_offset[4] = {cy - e.y[0], cy - e.y[1], cy - e.y[2], cy - e.y[3]};
  return covered(e, row_offset, cx);
}

void fill_quad_per_pixel(const PreparedQuad& q, std::int32_t first, std::int32_t last,
                         const TargetImage& target) noexcept {
  const Edges e = edges_of(q.p);
  for (std::int32_t i = first; i < last; ++i) {
    const double Y = static_cast<double>(i) + 0.5;
    const double row_offset[4] = {Y - e.y[0], Y - e.y[1], Y - e.y[2], Y - e.y[3]};
    std::uint8_t* row = row_address(target, i);
    for (std::int32_t j = q.x0; j < q.x1; ++j) {
      if (covered(e, row_offset, centre(j))) {
        std::memcpy(row + static_cast<std::int64_t>(j) * target.col_stride, &q.colour, 4);
      }
    }
  }
}

int widest_lanes() {
#if defined(QUADLITE_WIDE_VECTORS)
  static const int lanes = __builtin_cpu_supports("avx2") ? 4 : 2;
  return lanes;
#else
  return 2;
#endif
}

void fill_quad(const PreparedQuad& q, std::int32_t first, std::int32_t last,
               const TargetImage& target, int lanes) noexcept {
  if (first >= last) return;
  const std::int64_t width = std::int64_t{q.x1} - q.x0;
  if (width == 1) {  // a column: the plain test is cheapest
    if (last - first == 1) {
      if (covers_centre(q.p, centre(q.x0), centre(first)))
        std::memcpy(row_address(target, first) + std::int64_t{q.x0} * target.col_stride,
                    &q.colour, 4);
    } else {
      fill_quad_per_pixel(q, first, last, target);
    }
    return;
  }
  const Edges e = edges_of(q.p);
  bool slants = false;
  for (int k = 0; k < 4; ++k) slants = slants || (e.dx[k] != 0.0 && e.dy[k] != 0.0);
  // Spans pay off from a few columns on, at once when no edge slants (their
  // ends then need no search on each row).
  if (width > 2 && !(slants && width <= 8)) {
    fill_spans(q, e, first, last, target);
    return;
  }
#if defined(QUADLITE_WIDE_VECTORS)
  if (lanes >= 4 && widest_lanes() >= 4) {
    if (width <= 4) {
      fill_narrow_wide<1>(q, e, first, last, target);
    } else {
      fill_narrow_wide<2>(q, e, first, last, target);
    }
    return;
  }
#endif
  (void)lanes;
  switch ((width + 1) / 2) {
    case 1: fill_narrow<1>(q, e, first, last, target); break;
    case 2: fill_narrow<2>(q, e, first, last, target); break;
    case 3: fill_narrow<3>(q, e, first, last, target); break;
    default: fill_narrow<4>(q, e, first, last, target); break;
  }
}

void fill_band(const std::vector<QuadList>& lists, std::int32_t clip_y0,
               std::int32_t rows, std::uint64_t band, std::uint64_t bands,
               const TargetImage& target) noexcept {
  if (rows <= 0 || bands == 0 || band >= bands) return;
  const BandSplit split{clip_y0, rows, bands};
  const std::int32_t band_begin = band_start(split, band);
  const std::int32_t band_end = band_start(split, band + 1);

  const int lanes = widest_lanes();
  // Lists in order, each in order: mesh order, so later cells win.
  for (const QuadList& list : lists) {
    for (const PreparedQuad& q : list) {
      const std::int32_t first = std::max(q.y0, band_begin);
      const std::int32_t last = std::min(q.y1, band_end);
      if (first < last) fill_quad(q, first, last, target, lanes);
    }
  }
}

void fill_band_from_mesh(const MeshView& mesh, const ClipBox& clip,
                         const std::vector<TaskBands>& index, const BandSplit& split,
                         std::uint64_t band, const TargetImage& target) noexcept {
  if (split.rows <= 0 || split.bands == 0 || band >= split.bands) return;
  if (mesh.width == 0 || mesh.height == 0 || mesh.colour_rows <= 0) return;
  // Boxes clipped to the band's rows: everything prepared here is ours to fill.
  ClipBox own = clip;
  own.y0 = band_start(split, band);
  own.y1 = band_start(split, band + 1);

  const DeviceMap map = device_map(mesh.matrix);
  const int lanes = widest_lanes();
  PreparedQuad q;
  const auto draw_next = [&](QuadCursor& at) {
    // A quad found non-finite here was changed by another thread since the
    // check pass; it is left out rather than drawn to the image edge.
    if (prepare_next(mesh, map, own, at, q) == QuadFate::drawn)
      fill_quad(q, q.y0, q.y1, target, lanes);
  };
  const auto walk = [&](std::uint64_t begin, std::uint64_t end) {
    if (begin >= end) return;
    QuadCursor at = cursor_at(mesh, begin);
    for (std::uint64_t i = begin; i < end; ++i) draw_next(at);
  };

  if (index.empty()) {
    walk(0, mesh.width * mesh.height);
    return;
  }
  for (const TaskBands& task : index) {
    if (!task.complete) {
      walk(task.first_quad, task.end_quad);
      continue;
    }
    QuadCursor at;
    bool placed = false;
    for (const std::uint32_t offset : task.by_band[band]) {
      const std::uint64_t i = task.first_quad + offset;
      if (!placed || at.quad != i) at = cursor_at(mesh, i);
      placed = true;
      draw_next(at);
    }
  }
}

}  // namespace quadlite
