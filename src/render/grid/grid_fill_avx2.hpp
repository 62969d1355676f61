// The grid fill's eight- and four-lane kernels (grid_fill_avx2.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "render/vector_types.hpp"

namespace quadlite {

#if defined(QUADLITE_WIDE_VECTORS)
// pack_cells (grid_fill.cpp) four cells to a vector, for processors with
// AVX2: out[k] is the packed colour of cell cells[k] of the row whose
// colours start at `row`, or 0 where the cell is transparent; each lane
// computes transparent() and packed_colour() operation by operation.
QUADLITE_AVX2 void pack_cells_wide(const double* row, const std::uint64_t* cells, std::size_t count,
                                   std::uint32_t* out);

// expand_runs (grid_fill.cpp) eight pixels to a vector, for packed pixels:
// pixel k of `out` takes colours[runs[k]] unless that is 0, which leaves it.
// True when no pixel was left.
QUADLITE_AVX2 bool expand_runs_wide(const std::uint32_t* colours, const std::uint32_t* runs,
                                    std::size_t count, std::uint8_t* out);
#endif

}  // namespace quadlite
