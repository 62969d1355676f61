// The grid fill: pixel rows of a verified grid (grid_check.hpp) from its two
// axes, each band with scratch of its own.
#pragma once

#include <cstdint>
#include <vector>

#include "render/bands.hpp"
#include "render/grid/grid_check.hpp"
#include "render/mesh.hpp"
#include "render/render_types.hpp"

namespace quadlite {

// What a band knows of an x span on its current row: nothing drawn, one
// colour throughout, or a colour to settle pixel by pixel.
struct SpanWinner {
  enum Kind : std::uint8_t { none, colour, per_pixel };
  std::uint32_t packed = 0;
  Kind kind = none;
};

// Columns [begin, end) of a row: a stretch of x spans each drawn in one
// colour, or x span `span`, settled pixel by pixel.
struct RowPiece {
  std::int32_t begin = 0, end = 0;
  std::uint32_t span = 0;
  bool per_pixel = false;
};

// A band's scratch, its current row: the winner of every x span, and the
// pieces they make, for rows that repeat it.
struct BandRow {
  std::vector<SpanWinner> winners;  // one per x span
  std::vector<RowPiece> pieces;     // room for one per x span
  // For each x span, the first cell to try on rows of `geometry_key`.
  std::vector<std::uint8_t> geometry;
  std::uint64_t geometry_key = 0;
  bool geometry_known = false;
};

// One BandRow for each of `bands` bands, sized for the grid's x spans; false
// without memory for them.
bool make_band_rows(const GridMesh& grid, std::uint64_t bands, std::vector<BandRow>& rows) noexcept;

// Fills band `band` of `split` from a usable grid, reading only the colours
// of `mesh`; `row` is the band's own from make_band_rows.
void fill_grid_band(const GridMesh& grid, const MeshView& mesh, const BandSplit& split,
                    std::uint64_t band, BandRow& row, const TargetImage& target) noexcept;

}  // namespace quadlite
