// The batched walk, written once for every lane width. Included only by the
// walk's kernel files (quad_batch.cpp, quad_batch_avx2.cpp,
// quad_batch_avx512.cpp), each after defining QUADLITE_BATCH_TARGET (the
// target attribute its functions are built for) and a lane set Lanes:
//   n            lanes, quads to a batch
//   D, M         n doubles, n 64-bit masks
//   splat(v)     v in every lane
//   load_nodes   n consecutive (x, y) nodes, split into xs and ys
//   floor, ceil  of every lane
//   bits(m)      bit k set where lane k of m is true
//   box          the most columns and rows of a box tested in the batch (at
//                most kBatchBox): beyond it, fill_quad costs less
// Everything here has internal linkage, so each file has its own copy.
#pragma once

#if !defined(QUADLITE_BATCH_TARGET)
#error "define QUADLITE_BATCH_TARGET before including quad_batch_walk.hpp"
#endif

#include <cstdint>
#include <cstring>

#include "render/edge_rule.hpp"
#include "render/mesh.hpp"
#include "render/quads/quad_fill.hpp"
#include "render/quads/quad_geometry.hpp"
#include "render/render_types.hpp"

namespace quadlite {
namespace {

// Boxes tested in the batch hold at most this many columns and rows (a lane
// set may take fewer): one bit a centre, 8 r + c for row r and column c.
constexpr int kBatchBox = 8;

// What a batch keeps lane by lane once its vectors are done.
template <int n>
struct BatchLanes {
  alignas(64) double px[4][n], py[4][n];  // P0..P3
  alignas(64) double x0[n], x1[n], y0[n], y1[n];
  alignas(64) std::int64_t covered[n];  // bit 8 * row + column of the box
  std::uint32_t colour[n];              // packed, where the mesh has them
};

// Colour row of the quad `k` after the one whose row is `colour` (< rows).
QUADLITE_BATCH_TARGET QUADLITE_INLINE std::uint64_t colour_row(std::uint64_t colour, int k,
                                                               std::uint64_t rows) {
  const std::uint64_t i = colour + static_cast<std::uint64_t>(k);
  return i < rows ? i : i % rows;
}

// One batch: the quads of mesh row nodes `above` (and the row below it)
// whose bits are set in `valid`, the first of colour row `colour`.
// offsets[8 r + c] is centre (c, r)'s byte offset from a box's corner. The
// nodes of lanes past the batch's end are copies, never used.
template <class Lanes>
QUADLITE_BATCH_TARGET QUADLITE_INLINE void draw_batch(const MeshView& mesh, const ClipBox& own,
                                                      const TargetImage& target, int lanes,
                                                      const std::int64_t* offsets,
                                                      const double* above, const double* below,
                                                      unsigned valid, std::uint64_t colour) {
  constexpr int n = Lanes::n;
  static_assert(Lanes::box >= 1 && Lanes::box <= kBatchBox, "a row of a box fits its byte");
  using D = typename Lanes::D;
  using M = typename Lanes::M;
  const auto rows = static_cast<std::uint64_t>(mesh.colour_rows);
  BatchLanes<n> lane;

  // Transparency first: a transparent quad is not mapped at all by
  // prepare_next, and here it only drops out of the mask.
  unsigned opaque = 0;
  if (mesh.packed != nullptr) {
    if (colour + n <= rows) {
      std::memcpy(lane.colour, mesh.packed + colour, sizeof lane.colour);
    } else {
      for (int k = 0; k < n; ++k) lane.colour[k] = mesh.packed[colour_row(colour, k, rows)];
    }
    // Alpha is a packed colour's fourth byte: every lane tested in one vector.
    constexpr std::uint8_t alpha_byte[4] = {0, 0, 0, 0xFF};
    std::uint32_t alpha_word;
    std::memcpy(&alpha_word, alpha_byte, 4);
    M alpha;
    for (int k = 0; k < n; ++k) alpha[k] = lane.colour[k] & alpha_word;
    opaque = Lanes::bits(alpha != Lanes::mask_splat(0));
  } else {
    for (int k = 0; k < n; ++k)
      opaque |= static_cast<unsigned>(!transparent(mesh.colours + 4 * colour_row(colour, k, rows)))
                << k;
  }
  valid &= opaque;
  if (valid == 0) return;

  // P0 = above[k], P1 = below[k], P2 = below[k + 1], P3 = above[k + 1],
  // each read once and mapped as map_node maps it.
  D x[4], y[4];
  Lanes::load_nodes(above, x[0], y[0]);
  Lanes::load_nodes(below, x[1], y[1]);
  Lanes::load_nodes(below + 2, x[2], y[2]);
  Lanes::load_nodes(above + 2, x[3], y[3]);
  const double* m = mesh.matrix;
  const D m00 = Lanes::splat(m[0]), m01 = Lanes::splat(m[1]), m02 = Lanes::splat(m[2]);
  const D m10 = Lanes::splat(m[3]), m11 = Lanes::splat(m[4]), m12 = Lanes::splat(m[5]);
  D X[4], Y[4];
  for (int k = 0; k < 4; ++k) {
    X[k] = (m00 * x[k] + m01 * y[k]) + m02;
    Y[k] = (m10 * x[k] + m11 * y[k]) + m12;
  }
  // Finite: v - v is 0 for a finite v and NaN otherwise.
  const D zero = Lanes::splat(0.0);
  const D finite_sum = ((X[0] - X[0]) + (Y[0] - Y[0])) + ((X[1] - X[1]) + (Y[1] - Y[1])) +
                       (((X[2] - X[2]) + (Y[2] - Y[2])) + ((X[3] - X[3]) + (Y[3] - Y[3])));
  // The box as clipped_box makes it: floor of the least, ceil of the
  // greatest, clamped to the clip box. Clamping before the conversion
  // gives the same bounds wherever the box is not empty, and an empty box
  // where pixel_bound would saturate.
  D lx = X[0] < X[1] ? X[0] : X[1], gx = X[0] > X[1] ? X[0] : X[1];
  D ly = Y[0] < Y[1] ? Y[0] : Y[1], gy = Y[0] > Y[1] ? Y[0] : Y[1];
  for (int k = 2; k < 4; ++k) {
    lx = X[k] < lx ? X[k] : lx;
    gx = X[k] > gx ? X[k] : gx;
    ly = Y[k] < ly ? Y[k] : ly;
    gy = Y[k] > gy ? Y[k] : gy;
  }
  const D clip_x0 = Lanes::splat(own.x0), clip_x1 = Lanes::splat(own.x1);
  const D clip_y0 = Lanes::splat(own.y0), clip_y1 = Lanes::splat(own.y1);
  lx = Lanes::floor(lx);
  ly = Lanes::floor(ly);
  gx = Lanes::ceil(gx);
  gy = Lanes::ceil(gy);
  const D bx0 = lx > clip_x0 ? lx : clip_x0, bx1 = gx < clip_x1 ? gx : clip_x1;
  const D by0 = ly > clip_y0 ? ly : clip_y0, by1 = gy < clip_y1 ? gy : clip_y1;
  const M in_clip = (finite_sum == zero) & (bx0 < bx1) & (by0 < by1);
  const unsigned drawn = valid & Lanes::bits(in_clip);
  if (drawn == 0) return;

  // The turns of turns_agree, turn k at P_k: where none is positive or none
  // negative the vertex order is convex as it stands.
  D t[4];
  for (int k = 0; k < 4; ++k) {
    const int prev = (k + 3) & 3, next = (k + 1) & 3;
    t[k] = (X[k] - X[prev]) * (Y[next] - Y[prev]) - (Y[k] - Y[prev]) * (X[next] - X[prev]);
  }
  const M left = (t[0] > zero) | (t[1] > zero) | (t[2] > zero) | (t[3] > zero);
  const M right = (t[0] < zero) | (t[1] < zero) | (t[2] < zero) | (t[3] < zero);
  const unsigned agree = ~Lanes::bits(left & right);

  // Small boxes: those that keep their order and hold at most Lanes::box
  // columns and rows.
  const D most = Lanes::splat(Lanes::box);
  const unsigned small =
      drawn & agree & Lanes::bits(((bx1 - bx0) <= most) & ((by1 - by0) <= most));
  if (small != 0) {
    // covers() at every centre of the small boxes, lanes side by side; the
    // terms are edge_rule's, and in place of clearly_positive and
    // clearly_negative on every value the greatest and least of the values
    // and +-kEdgeTolerance are kept, as the narrow fill's AVX2 kernel keeps
    // them (NaN stays neutral).
    D dx[4], dy[4];
    for (int k = 0; k < 4; ++k) {
      dx[k] = X[(k + 1) & 3] - X[k];
      dy[k] = Y[(k + 1) & 3] - Y[k];
    }
    const D above_tol = Lanes::splat(kEdgeTolerance), below_tol = Lanes::splat(-kEdgeTolerance);
    // Columns and rows any small box holds; bit c of a row's mask is
    // column c, row r's mask goes to bits 8 r on.
    const M small_lanes = Lanes::mask(small);
    const D width = bx1 - bx0, height = by1 - by0;
    D u[kBatchBox][4] = {};
    M column_bit[kBatchBox] = {};
    int columns = 0;
#pragma GCC unroll 8
    for (int c = 0; c < Lanes::box; ++c) {
      const D i = Lanes::splat(c);
      const M in = (i < width) & small_lanes;
      if (Lanes::bits(in) == 0) break;
      column_bit[c] = in & Lanes::mask_splat(std::int64_t{1} << c);
      const D X_c = bx0 + (i + Lanes::splat(0.5));
      for (int k = 0; k < 4; ++k) u[c][k] = dy[k] * (X_c - X[k]);
      columns = c + 1;
    }
    M covered = Lanes::mask_splat(0);
#pragma GCC unroll 8
    for (int r = 0; r < Lanes::box; ++r) {
      const D j = Lanes::splat(r);
      const M row_in = (j < height) & small_lanes;
      if (Lanes::bits(row_in) == 0) break;
      const D Y_r = by0 + (j + Lanes::splat(0.5));
      D a[4];
      for (int k = 0; k < 4; ++k) a[k] = dx[k] * (Y_r - Y[k]);
      M row = Lanes::mask_splat(0);
#pragma GCC unroll 8
      for (int c = 0; c < Lanes::box; ++c) {
        if (c == columns) break;
        D greatest = above_tol, least = below_tol;
        for (int k = 0; k < 4; ++k) {
          const D value = a[k] - u[c][k];
          greatest = value > greatest ? value : greatest;
          least = value < least ? value : least;
        }
        const M split = (greatest > above_tol) & (least < below_tol);
        row |= ~split & column_bit[c];
      }
      covered |= (row & row_in) << (kBatchBox * r);
    }
    std::memcpy(lane.covered, &covered, sizeof lane.covered);
  }

  std::memcpy(lane.x0, &bx0, sizeof lane.x0);
  std::memcpy(lane.y0, &by0, sizeof lane.y0);
  const unsigned large = drawn & ~small;
  if (large != 0) {  // what fill_quad needs
    std::memcpy(lane.x1, &bx1, sizeof lane.x1);
    std::memcpy(lane.y1, &by1, sizeof lane.y1);
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
      std::memcpy(lane.px[k], &X[k], sizeof lane.px[k]);
      std::memcpy(lane.py[k], &Y[k], sizeof lane.py[k]);
    }
  }
  // Stores in mesh order, so that a later quad wins where boxes overlap.
  for (unsigned left_over = drawn; left_over != 0; left_over &= left_over - 1) {
    const int k = __builtin_ctz(left_over);
    const std::uint32_t paint =
        mesh.packed != nullptr ? lane.colour[k]
                               : packed_colour(mesh.colours + 4 * colour_row(colour, k, rows));
    const auto x0 = static_cast<std::int32_t>(lane.x0[k]);
    const auto y0 = static_cast<std::int32_t>(lane.y0[k]);
    if ((small >> k) & 1u) {
      std::uint8_t* const corner =
          target.data + row_offset(target, y0) + std::int64_t{x0} * target.col_stride;
      for (auto bits = static_cast<std::uint64_t>(lane.covered[k]); bits != 0; bits &= bits - 1)
        std::memcpy(corner + offsets[__builtin_ctzll(bits)], &paint, 4);
      continue;
    }
    PreparedQuad q;
    for (int v = 0; v < 4; ++v) q.p[v] = Point{lane.px[v][k], lane.py[v][k]};
    if (!((agree >> k) & 1u) && !quad_is_convex(q.p)) {
      sort_around_centroid(q.p);
      if (!quad_is_convex(q.p)) continue;
    }
    q.x0 = x0;
    q.x1 = static_cast<std::int32_t>(lane.x1[k]);
    q.y0 = y0;
    q.y1 = static_cast<std::int32_t>(lane.y1[k]);
    q.colour = paint;
    fill_quad(q, q.y0, q.y1, target, lanes);
  }
}

// The walk: batches of up to n quads, cut where a mesh row or the range
// ends. A short batch reads its nodes into a padded copy, so that no lane
// reads past the mesh.
template <class Lanes>
QUADLITE_BATCH_TARGET QUADLITE_INLINE void walk_in_batches(const MeshView& mesh,
                                                           const ClipBox& own,
                                                           std::uint64_t begin, std::uint64_t end,
                                                           const TargetImage& target, int lanes) {
  constexpr int n = Lanes::n;
  if (begin >= end) return;
  const std::uint64_t width = mesh.width;
  const std::uint64_t nodes = width + 1;
  const auto rows = static_cast<std::uint64_t>(mesh.colour_rows);
  std::uint64_t column = begin % width;
  std::uint64_t colour = begin % rows;
  const double* above = mesh.coords + 2 * ((begin / width) * nodes + column);
  // Each small box's store then costs a load, not two products.
  alignas(64) std::int64_t offsets[kBatchBox * kBatchBox];
  for (int r = 0; r < kBatchBox; ++r)
    for (int c = 0; c < kBatchBox; ++c)
      offsets[kBatchBox * r + c] = c * target.col_stride - r * target.row_stride;
  for (std::uint64_t quad = begin; quad < end;) {
    std::uint64_t count = end - quad;
    if (count > width - column) count = width - column;
    const double* below = above + 2 * nodes;
    if (count >= static_cast<std::uint64_t>(n)) {
      count = n;
      draw_batch<Lanes>(mesh, own, target, lanes, offsets, above, below, (1u << n) - 1u, colour);
    } else {
      double top[2 * (n + 1)], bottom[2 * (n + 1)];
      const std::size_t bytes = 2 * sizeof(double) * (count + 1);
      std::memcpy(top, above, bytes);
      std::memcpy(bottom, below, bytes);
      for (std::uint64_t k = count + 1; k <= static_cast<std::uint64_t>(n); ++k) {
        top[2 * k] = top[2 * count];
        top[2 * k + 1] = top[2 * count + 1];
        bottom[2 * k] = bottom[2 * count];
        bottom[2 * k + 1] = bottom[2 * count + 1];
      }
      draw_batch<Lanes>(mesh, own, target, lanes, offsets, top, bottom, (1u << count) - 1u, colour);
    }
    quad += count;
    above += 2 * count;
    colour += count;
    if (colour >= rows) colour %= rows;
    column += count;
    if (column == width) {
      column = 0;
      above += 2;  // past the row's last node
    }
  }
}

}  // namespace
}  // namespace quadlite
