// The grid fill's bands of rows, cut by the work each pixel row brings.
#pragma once

#include "render/bands.hpp"
#include "render/grid/grid_check.hpp"

namespace quadlite {

// Splits the split's rows (the clip box's, which the grid's y spans tile)
// into bands of even work, by what the grid fill spends on each pixel row:
// rows outside the mesh almost nothing, a row that starts a y span the
// search for its winners and the rows after it about the writes alone.
// Leaves equal bands without memory for the estimate.
void split_grid_rows(const GridMesh& grid, BandSplit& split) noexcept;

}  // namespace quadlite
