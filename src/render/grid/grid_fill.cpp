// The grid fill: a band's pixel rows from the grid's two axes.
//
// A row whose centre lies clear of every level edge (each level edge value
// having, for every non-zero cell width, the sign of the centre's offset)
// lies in one cell row, or in two on the edge they share: a settled row. A
// settled column (grid_columns.hpp) likewise lies in one or two cell
// columns, none of zero width. A cell of non-zero width and height covers
// such a pixel exactly when it holds both centres: its four edge values then
// share one sign, and otherwise two of them have opposite signs beyond the
// tolerance. A cell row of zero height clear of the centre covers nothing in
// those columns either. So the pixel takes the last drawn cell in mesh order
// among at most four, or keeps its bytes. Every other pixel takes the whole
// edge rule over the cells whose boxes hold it. Settled rows in the same
// cell rows are alike: the second writes what the first did.
#include "render/grid/grid_fill.hpp"

#include <algorithm>
#include <cstring>

#include "render/edge_rule.hpp"
#include "render/face_alphas.hpp"
#include "render/grid/grid_fill_avx2.hpp"
#include "render/grid/grid_sides.hpp"
#include "render/pixel_stores.hpp"

namespace quadlite {
namespace {

using grid_sides::covered;
using grid_sides::kNear;
using grid_sides::level_sides;
using grid_sides::settled_sign;
using grid_sides::upright_sides;

// A cell row as a pixel row sees it.
struct RowCell {
  std::uint64_t r;
  double hy;
  double g0, g1;  // Y - y_r, Y - y_r+1
};

// The cells a pixel row may draw: the y span's rows, last first.
struct PixelRow {
  double Y;
  RowCell rows[kMostCellsPerPixel];
  int count = 0;
};

PixelRow pixel_row(const GridAxis& ay, const AxisSpan& span, std::int32_t i) {
  PixelRow row;
  row.Y = pixel_centre(i);
  for (std::uint64_t r = span.end_cell; r-- > span.first_cell;) {
    const double y0 = ay.edges[r], y1 = ay.edges[r + 1];
    row.rows[row.count++] = {r, y1 - y0, row.Y - y0, row.Y - y1};
  }
  return row;
}

// The cell rows that hold a settled row's centre, later first; false when
// the row is not settled. Settled means every level edge value has, for
// every non-zero width, the sign of its difference (a cell row then holds
// the centre unless it lies clearly beyond one of its level edges), and no
// row of zero height holds it: such a row's level values are 0 at its
// centre whatever the width, and its upright ones 0 wherever, so it would
// cover every column.
bool settled_rows(const PixelRow& row, double least_width, std::uint64_t* in, int& count) {
  count = 0;
  for (int k = 0; k < row.count; ++k) {
    const RowCell& rc = row.rows[k];
    const unsigned c0 = settled_sign(least_width, rc.g0), c1 = settled_sign(least_width, rc.g1);
    if (c0 == kNear || c1 == kNear) return false;
    if (c0 == c1 && c0 != 0) continue;  // clearly beyond one level edge
    if (rc.hy == 0 || count == 2) return false;
    in[count++] = rc.r;
  }
  return true;
}

// The colour row of cell (r, c).
QUADLITE_INLINE std::uint64_t colour_row(const MeshView& mesh, std::uint64_t r, std::uint64_t c) {
  const std::uint64_t quad = r * mesh.width + c;
  const auto rows = static_cast<std::uint64_t>(mesh.colour_rows);
  // Most meshes have a colour per cell: no division then.
  return quad < rows ? quad : quad % rows;
}

// The packed colour of cell (r, c), or 0 when it paints nothing (packed
// colours have alpha 255, so never 0): from the colours packed once where
// the mesh has them.
QUADLITE_INLINE std::uint32_t cell_colour(const MeshView& mesh, std::uint64_t r, std::uint64_t c) {
  const std::uint64_t row = colour_row(mesh, r, c);
  if (mesh.packed != nullptr) {
    const std::uint32_t colour = mesh.packed[row];
    return face_transparent(colour) ? 0u : colour;
  }
  const double* rgba = mesh.colours + 4 * row;
  return transparent(rgba) ? 0u : packed_colour(rgba);
}

// colours[k] = cell_colour(mesh, r, cells[k]) for each run k.
void pack_cells(const MeshView& mesh, std::uint64_t r, const std::uint64_t* cells,
                std::size_t count, std::uint32_t* colours, int lanes) {
  (void)lanes;  // where there are no wide kernels
#if defined(QUADLITE_WIDE_VECTORS)
  // Without cycled colours along the row, its colours lie side by side.
  if (mesh.packed == nullptr && lanes >= 4 &&
      (r + 1) * mesh.width <= static_cast<std::uint64_t>(mesh.colour_rows)) {
    pack_cells_wide(mesh.colours + 4 * r * mesh.width, cells, count, colours);
    return;
  }
#endif
  for (std::size_t k = 0; k < count; ++k) colours[k] = cell_colour(mesh, r, cells[k]);
}

// The colour of every run on the cell rows `in` (later first): the last
// drawn cell in mesh order among the run's cells on those rows.
void pack_runs(const GridColumns& columns, const MeshView& mesh, const std::uint64_t* in, int count,
               std::uint32_t* colours, int lanes) {
  const std::size_t runs = columns.cell.size();
  pack_cells(mesh, in[0], columns.cell.data(), runs, colours, lanes);
  if (!columns.pairs && count == 1) return;
  for (std::size_t k = 0; k < runs; ++k) {
    if (colours[k] != 0) continue;
    const std::uint64_t cell = columns.cell[k], other = columns.other[k];
    std::uint32_t colour = other != cell ? cell_colour(mesh, in[0], other) : 0u;
    if (colour == 0 && count == 2) {
      colour = cell_colour(mesh, in[1], cell);
      if (colour == 0 && other != cell) colour = cell_colour(mesh, in[1], other);
    }
    colours[k] = colour;
  }
}

// Pixels [begin, end) of a row take the colours of their runs, pixel j
// colours[runs[j - begin]], where that is not 0. True when every pixel was
// drawn.
bool expand_runs(const std::uint32_t* colours, const std::uint32_t* runs, std::int32_t begin,
                 std::int32_t end, std::uint8_t* out, std::int64_t col_stride, int lanes) {
  const auto count = static_cast<std::size_t>(std::int64_t{end} - begin);
  (void)lanes;  // where there are no wide kernels
#if defined(QUADLITE_WIDE_VECTORS)
  if (col_stride == 4 && lanes >= 4)
    return expand_runs_wide(colours, runs, count, out + std::int64_t{begin} * 4);
#endif
  bool whole = true;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint32_t colour = colours[runs[k]];
    if (colour != 0) {
      std::memcpy(out + (begin + static_cast<std::int64_t>(k)) * col_stride, &colour, 4);
    } else {
      whole = false;
    }
  }
  return whole;
}

// The colour of the last drawn cell in mesh order that covers (X, row.Y)
// among the span's cells; false when there is none.
bool pixel_winner(const GridAxis& ax, const AxisSpan& span, const PixelRow& row,
                  const MeshView& mesh, double X, std::uint32_t& colour) {
  for (int k = 0; k < row.count; ++k) {
    const RowCell& rc = row.rows[k];
    for (std::uint64_t c = span.end_cell; c-- > span.first_cell;) {
      const double x0 = ax.edges[c], x1 = ax.edges[c + 1];
      if (!covered(level_sides(x1 - x0, rc.g0, rc.g1) | upright_sides(rc.hy, x0, x1, X)))
        continue;
      colour = cell_colour(mesh, rc.r, c);
      if (colour == 0) continue;
      return true;
    }
  }
  return false;
}

// Pixels [begin, end) of x span `span`, one at a time by the edge rule.
void fill_exact(const GridAxis& ax, const AxisSpan& span, std::int32_t begin, std::int32_t end,
                const PixelRow& row, const MeshView& mesh, std::uint8_t* out,
                std::int64_t col_stride) {
  for (std::int64_t j = begin; j < end; ++j) {
    std::uint32_t colour;
    if (pixel_winner(ax, span, row, mesh, pixel_centre(j), colour))
      std::memcpy(out + j * col_stride, &colour, 4);
  }
}

// A settled row from the band's colours (none when `drawn` is false: the
// row lies in no cell row). With `above`, the row before lay in the same
// cell rows and pieces drawn whole there are copied from it.
void fill_settled_row(const GridMesh& grid, const PixelRow& row, const MeshView& mesh,
                      BandRow& band_row, bool drawn, const std::uint8_t* above,
                      std::uint8_t* out, std::int64_t col_stride, bool stream, int lanes) {
  const GridColumns& columns = grid.columns;
  const std::uint32_t* colours = band_row.colours.data();
  for (std::size_t p = 0; p < columns.pieces.size(); ++p) {
    const ColumnPiece& piece = columns.pieces[p];
    switch (piece.kind) {
      case ColumnPiece::long_run:
        if (drawn && colours[piece.index] != 0)
          store_run(out, col_stride, piece.begin, piece.end, colours[piece.index], stream);
        break;
      case ColumnPiece::short_runs:
        if (!drawn) break;
        if (above != nullptr && band_row.whole[p]) {
          const std::int64_t at = std::int64_t{piece.begin} * 4;
          std::memcpy(out + at, above + at, static_cast<std::size_t>(piece.end - piece.begin) * 4);
        } else {
          band_row.whole[p] = expand_runs(colours, columns.run_of_column.data() + piece.index,
                                          piece.begin, piece.end, out, col_stride, lanes);
        }
        break;
      case ColumnPiece::exact:
        fill_exact(grid.x, grid.x.spans[piece.index], piece.begin, piece.end, row, mesh, out,
                   col_stride);
        break;
    }
  }
}

// A row that is not settled: every pixel by the edge rule.
void fill_exact_row(const GridAxis& ax, const PixelRow& row, const MeshView& mesh,
                    std::uint8_t* out, std::int64_t col_stride) {
  for (const AxisSpan& span : ax.spans) {
    if (span.end_cell != span.first_cell)
      fill_exact(ax, span, span.begin, span.end, row, mesh, out, col_stride);
  }
}

}  // namespace

bool make_band_rows(const GridMesh& grid, std::uint64_t bands, std::vector<BandRow>& rows) noexcept {
  try {
    rows.resize(bands);
    for (BandRow& row : rows) {
      row.colours.assign(grid.columns.cell.size(), 0);
      row.whole.assign(grid.columns.pieces.size(), 0);
      row.colours_known = false;
    }
  } catch (...) {
    return false;
  }
  return true;
}

void fill_grid_band(const GridMesh& grid, const MeshView& mesh, const BandSplit& split,
                    std::uint64_t band, BandRow& band_row, const TargetImage& target,
                    int lanes) noexcept {
  if (!grid.usable || split.rows <= 0 || band >= split.bands) return;
  const GridAxis& ax = grid.x;
  const GridAxis& ay = grid.y;
  const GridColumns& columns = grid.columns;
  if (ax.spans.empty() || band_row.colours.size() != columns.cell.size() ||
      band_row.whole.size() != columns.pieces.size()) {
    return;
  }
  const std::int32_t first = band_start(split, band);
  const std::int32_t last = band_start(split, band + 1);
  const std::int64_t stride = target.col_stride;
  const bool stream = streams(target);
  // Copies read the row before: only where it is packed and still cached.
  const bool copies = stride == 4 && !stream;
  band_row.colours_known = false;

  // The y span holding the band's first row.
  auto y_span = std::upper_bound(ay.spans.begin(), ay.spans.end(), first,
                                 [](std::int32_t i, const AxisSpan& s) { return i < s.end; });
  bool before_alike = false;  // whether the row before was settled in the band's cell rows
  for (std::int32_t i = first; i < last; ++i) {
    while (y_span->end <= i) ++y_span;
    std::uint8_t* out = buffer_row(target, i);
    const PixelRow row = pixel_row(ay, *y_span, i);
    if (row.count == 0) {  // no cell's box holds the row
      before_alike = false;
      continue;
    }
    std::uint64_t in[2];
    int count = 0;
    if (!settled_rows(row, ax.least_width, in, count)) {
      fill_exact_row(ax, row, mesh, out, stride);
      before_alike = false;
      continue;
    }
    const bool same = band_row.colours_known && count == band_row.cell_row_count &&
                      (count < 1 || in[0] == band_row.cell_rows[0]) &&
                      (count < 2 || in[1] == band_row.cell_rows[1]);
    if (!same) {
      if (count > 0) pack_runs(columns, mesh, in, count, band_row.colours.data(), lanes);
      std::copy(in, in + count, band_row.cell_rows);
      band_row.cell_row_count = count;
      band_row.colours_known = true;
    }
    const std::uint8_t* above =
        same && before_alike && copies ? buffer_row(target, i - 1) : nullptr;
    fill_settled_row(grid, row, mesh, band_row, count > 0, above, out, stride, stream, lanes);
    before_alike = true;
  }
#if defined(__SSE2__)
  if (stream) finish_streaming();
#endif
}

}  // namespace quadlite
