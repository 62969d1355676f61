// The grid check: whether a mesh's device nodes form an exact grid (every
// node of a mesh column at bitwise the same device x, every node of a mesh
// row at the same device y), and the verified geometry the grid fill draws
// from (grid_fill.hpp). Such a mesh is drawn from its two axes alone, each
// pixel written once with the last drawn cell that covers it. The fill never
// reads the nodes again: it works from the axes taken here, so a caller that
// changes the nodes during the call cannot make it paint outside the mesh
// that was verified.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "pool/batch.hpp"
#include "render/grid/grid_columns.hpp"
#include "render/mesh.hpp"
#include "render/render_types.hpp"

namespace quadlite {

// Pixels [begin, end) along one axis inside whose boxes lie the same cells,
// [first_cell, end_cell): a range, since the axis runs one way.
struct AxisSpan {
  std::int32_t begin = 0, end = 0;
  std::uint64_t first_cell = 0, end_cell = 0;
};

// One axis of the grid in device pixels, and the clip box's pixels along it
// cut into spans.
struct GridAxis {
  std::vector<double> edges;    // cell k runs from edges[k] to edges[k + 1]
  std::vector<AxisSpan> spans;  // in order, tiling the clip box's range
  double least_width = 0;       // least non-zero |edges[k + 1] - edges[k]|, or inf
  bool zero_widths = false;     // whether some edges[k + 1] == edges[k]
  std::uint64_t most_cells = 0; // most cells of one span
};

struct GridMesh {
  GridAxis x, y;
  GridColumns columns;  // the clip box's pixel columns, as the fill draws them
  bool usable = false;
};

// Most cells that may hold one pixel (x cells times y cells) on the grid
// path; beyond it the generic fill, which walks cells, does less work.
constexpr std::uint64_t kMostCellsPerPixel = 16;

// Maps mesh row 0: the x axis, and whether the row is level. Sizes both axes.
bool grid_first_row(const MeshView& mesh, GridMesh& grid) noexcept;

// Whether every node of rows [first, end) lies on the grid of row 0, each
// row level; records the rows' y. Gives up early once `on_grid` is false.
bool grid_rows_match(const MeshView& mesh, std::uint64_t first, std::uint64_t end,
                     const std::atomic<bool>& on_grid, GridMesh& grid) noexcept;

// Whether an axis suits the grid fill (finite, running one way, few cells
// per pixel); cuts the pixels [lo, hi) along it into spans.
bool grid_cut_axis(GridAxis& axis, std::int32_t lo, std::int32_t hi) noexcept;

// Whether the verified grid suits the grid fill: its y axis (its x axis is
// cut before the rows are read) and few cells per pixel; settles the pixel
// columns (false without memory for them).
bool grid_finish(const ClipBox& clip, GridMesh& grid) noexcept;

// Verifies the grid in `tasks` shares of node rows run by `run` (as the
// render job runs its passes) and prepares it for the grid fill. False, with
// `grid.usable` false, when the quad path must draw.
template <class Run>
bool take_grid(const MeshView& mesh, const ClipBox& clip, std::uint64_t tasks, Run&& run,
               GridMesh& grid) {
  grid.usable = false;
  // The x axis is known from the first row: a mesh that would not suit the
  // grid fill is sent on before the rest is read.
  if (tasks == 0 || !grid_first_row(mesh, grid) || !grid_cut_axis(grid.x, clip.x0, clip.x1))
    return false;
  std::atomic<bool> on_grid{true};
  run(tasks, [&](std::uint64_t task) {
    const std::uint64_t first = 1 + chunk_bound(task, mesh.height, tasks);
    const std::uint64_t end = 1 + chunk_bound(task + 1, mesh.height, tasks);
    if (!grid_rows_match(mesh, first, end, on_grid, grid))
      on_grid.store(false, std::memory_order_relaxed);
  });
  grid.usable = on_grid.load(std::memory_order_relaxed) && grid_finish(clip, grid);
  return grid.usable;
}

}  // namespace quadlite
