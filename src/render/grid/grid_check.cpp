// The grid check: verifying the grid, cutting its axes into spans and
// settling what the fill can know of them ahead.
#include "render/grid/grid_check.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "render/cpu_features.hpp"
#include "render/grid/grid_check_avx2.hpp"

namespace quadlite {
namespace {

// Non-zero where a and b differ in any bit: a grid is taken only where every
// cell's vertices are exactly those the generic passes would compute.
QUADLITE_INLINE I64x2 differ(F64x2 a, F64x2 b) { return (I64x2)a ^ (I64x2)b; }

// The first cell's box along an axis, clipped to [lo, hi): the same pixel
// bounds as a prepared quad's box. Empty when begin >= end.
struct Box {
  std::int64_t begin, end;
};
Box cell_box(const std::vector<double>& edges, std::uint64_t k, std::int32_t lo,
             std::int32_t hi) {
  const double a = edges[k], b = edges[k + 1];
  return {std::max<std::int64_t>(lo, lower_bound_px(std::min(a, b))),
          std::min<std::int64_t>(upper_bound_px(std::max(a, b)), hi)};
}

// Whether the edges are finite and run one way (zero-width cells allowed);
// notes the least non-zero width.
bool monotone_finite(GridAxis& axis, bool& rising) {
  const std::vector<double>& e = axis.edges;
  bool up = true, down = true;
  axis.zero_widths = false;
  double least = std::numeric_limits<double>::infinity();
  for (std::size_t k = 0; k < e.size(); ++k)
    if (!std::isfinite(e[k])) return false;
  for (std::size_t k = 0; k + 1 < e.size(); ++k) {
    up = up && e[k + 1] >= e[k];
    down = down && e[k + 1] <= e[k];
    const double width = std::fabs(e[k + 1] - e[k]);  // may overflow to inf
    if (width != 0.0 && width < least) least = width;
    axis.zero_widths = axis.zero_widths || width == 0.0;
  }
  axis.least_width = least;
  rising = up;
  return up || down;
}

// Cuts [lo, hi) into spans by the cells' boxes. On a monotone axis the
// boxes' starts and ends both run one way, so one sweep in that order finds
// them; the cells whose box holds a pixel are those started at or before it
// and not yet ended, a range.
void cut_spans(GridAxis& axis, bool rising, std::int32_t lo, std::int32_t hi) {
  axis.spans.clear();
  axis.most_cells = 0;
  const std::uint64_t n = axis.edges.size() - 1;
  // Cell t in sweep order.
  const auto cell = [&](std::uint64_t t) { return rising ? t : n - 1 - t; };
  std::uint64_t started = 0, ended = 0;  // in sweep order: box begin <= p, box end <= p
  Box next_start{0, 0}, next_end{0, 0};
  if (n > 0) next_start = next_end = cell_box(axis.edges, cell(0), lo, hi);
  for (std::int64_t p = lo; p < hi;) {
    while (started < n && next_start.begin <= p) {
      if (++started < n) next_start = cell_box(axis.edges, cell(started), lo, hi);
    }
    while (ended < n && next_end.end <= p) {
      if (++ended < n) next_end = cell_box(axis.edges, cell(ended), lo, hi);
    }
    std::int64_t stop = hi;
    if (started < n) stop = std::min(stop, next_start.begin);
    if (ended < n) stop = std::min(stop, next_end.end);
    AxisSpan span;
    span.begin = static_cast<std::int32_t>(p);
    span.end = static_cast<std::int32_t>(stop);
    if (ended < started) {  // sweep positions [ended, started)
      span.first_cell = rising ? ended : n - started;
      span.end_cell = rising ? started : n - ended;
      axis.most_cells = std::max(axis.most_cells, started - ended);
    }
    axis.spans.push_back(span);
    p = stop;
  }
}


}  // namespace

bool grid_first_row(const MeshView& mesh, GridMesh& grid) noexcept {
  if (mesh.width == 0 || mesh.height == 0) return false;
  try {
    grid.x.edges.resize(mesh.width + 1);
    grid.y.edges.resize(mesh.height + 1);
  } catch (...) {
    return false;  // the generic passes need no such memory
  }
  const DeviceMap map = device_map(mesh.matrix);
  const F64x2 first = map_node(map, mesh.coords);
  grid.y.edges[0] = first[1];
  I64x2 off{0, 0};
  for (std::uint64_t c = 0; c <= mesh.width; ++c) {
    const F64x2 p = map_node(map, mesh.coords + 2 * c);
    grid.x.edges[c] = p[0];
    off |= differ(p, F64x2{p[0], first[1]});
  }
  return (off[0] | off[1]) == 0;
}

bool grid_rows_match(const MeshView& mesh, std::uint64_t first, std::uint64_t end,
                     const std::atomic<bool>& on_grid, GridMesh& grid) noexcept {
  const DeviceMap map = device_map(mesh.matrix);
  const std::uint64_t nodes = mesh.width + 1;
  const double* xs = grid.x.edges.data();
#if defined(QUADLITE_WIDE_VECTORS)
  const bool wide = widest_lanes() >= 4;
#endif
  for (std::uint64_t r = first; r < end; ++r) {
    if (!on_grid.load(std::memory_order_relaxed)) return false;
    const double* row = mesh.coords + 2 * r * nodes;
    const double y = map_node(map, row)[1];
    grid.y.edges[r] = y;
    I64x2 off{0, 0};
    std::uint64_t c = 0;
#if defined(QUADLITE_WIDE_VECTORS)
    if (wide && row_differs_wide(row, xs, y, mesh.matrix, nodes, c)) return false;
#endif
    // Two nodes at a time, x with x and y with y: each lane is still
    // map_node's expression for its node.
    const double* m = mesh.matrix;
    const F64x2 m00 = splat(m[0]), m01 = splat(m[1]), m02 = splat(m[2]);
    const F64x2 m10 = splat(m[3]), m11 = splat(m[4]), m12 = splat(m[5]);
    for (; c + 2 <= nodes; c += 2) {
      F64x2 a, b;
      std::memcpy(&a, row + 2 * c, sizeof a);
      std::memcpy(&b, row + 2 * c + 2, sizeof b);
      const F64x2 x = __builtin_shufflevector(a, b, 0, 2), v = __builtin_shufflevector(a, b, 1, 3);
      F64x2 want_x;
      std::memcpy(&want_x, xs + c, sizeof want_x);
      off |= differ((m00 * x + m01 * v) + m02, want_x);
      off |= differ((m10 * x + m11 * v) + m12, splat(y));
    }
    for (; c < nodes; ++c) off |= differ(map_node(map, row + 2 * c), F64x2{xs[c], y});
    if ((off[0] | off[1]) != 0) return false;
  }
  return true;
}

bool grid_cut_axis(GridAxis& axis, std::int32_t lo, std::int32_t hi) noexcept {
  bool rising = true;
  if (!monotone_finite(axis, rising)) return false;
  try {
    cut_spans(axis, rising, lo, hi);
  } catch (...) {
    return false;
  }
  return axis.most_cells <= kMostCellsPerPixel;
}

bool grid_finish(const ClipBox& clip, GridMesh& grid) noexcept {
  if (!grid_cut_axis(grid.y, clip.y0, clip.y1)) return false;
  if (grid.x.most_cells * grid.y.most_cells > kMostCellsPerPixel) return false;
  return settle_columns(grid.x, grid.y.least_width, grid.columns);
}

}  // namespace quadlite
