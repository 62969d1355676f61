// The grid check's four-lane kernel (grid_check_avx2.cpp).
#pragma once

#include <cstdint>

#include "render/vector_types.hpp"

namespace quadlite {

#if defined(QUADLITE_WIDE_VECTORS)
// grid_rows_match's check of one row, four nodes to a vector from node c
// on, for processors with AVX2: each lane is still map_node's expression
// for its node (no fused multiply-add). Leaves c at the first node not
// checked; true when a node checked is off the grid.
QUADLITE_AVX2 bool row_differs_wide(const double* row, const double* xs, double y, const double* m,
                                    std::uint64_t nodes, std::uint64_t& c);
#endif

}  // namespace quadlite
