// The narrow fill's AVX2 kernel (narrow_fill_avx2.cpp) and the rows it
// forms row terms for at a time.
#pragma once

#include <cstdint>

#include "render/edge_rule.hpp"
#include "render/render_types.hpp"
#include "render/vector_types.hpp"

namespace quadlite {

// Rows whose row terms the vector kernels form together, a vector a block.
constexpr int kRowsPerBlock = 8;

#if defined(QUADLITE_WIDE_VECTORS)
// The narrow fill of a box at most 4 * kQuads columns wide (kQuads 1 to
// 6), four columns to a vector. Only for processors with AVX2.
template <int kQuads>
QUADLITE_AVX2 void fill_narrow_quads(const PreparedQuad& q, const Edges& e, std::int32_t first,
                                     std::int32_t last, const TargetImage& target);
#endif

}  // namespace quadlite
