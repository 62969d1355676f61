// The grid fill: pixel rows of a verified grid (grid_check.hpp) from its two
// axes, each band with scratch of its own.
#pragma once

#include <cstdint>
#include <vector>

#include "render/bands.hpp"
#include "render/cpu_features.hpp"
#include "render/grid/grid_check.hpp"
#include "render/mesh.hpp"
#include "render/render_types.hpp"

namespace quadlite {

// A band's scratch: the colour of every column run (GridColumns) on the
// cell rows its last rows lay in, and what the fill knows of them.
struct BandRow {
  std::vector<std::uint32_t> colours;  // packed, 0 where nothing is drawn
  std::vector<std::uint8_t> whole;     // per piece: every pixel of it drawn
  std::uint64_t cell_rows[2] = {0, 0};  // later first
  int cell_row_count = 0;
  bool colours_known = false;
};

// One BandRow for each of `bands` bands, sized for the grid's columns; false
// without memory for them.
bool make_band_rows(const GridMesh& grid, std::uint64_t bands, std::vector<BandRow>& rows) noexcept;

// Fills band `band` of `split` from a usable grid, reading only the colours
// of `mesh`; `row` is the band's own from make_band_rows. `lanes` (2, or 4
// where widest_lanes() allows) picks the kernels: every width gives the
// same bytes.
void fill_grid_band(const GridMesh& grid, const MeshView& mesh, const BandSplit& split,
                    std::uint64_t band, BandRow& row, const TargetImage& target,
                    int lanes = widest_lanes()) noexcept;

}  // namespace quadlite
