// The narrow fill's AVX-512 kernel (narrow_fill_avx512.cpp).
#pragma once

#include <cstdint>

#include "render/edge_rule.hpp"
#include "render/render_types.hpp"
#include "render/vector_types.hpp"

namespace quadlite {

#if defined(QUADLITE_WIDE_VECTORS)
// The narrow fill of a box at most 8 * kOctets columns wide (kOctets 1 to
// 3), eight columns to a vector. Only for processors with AVX-512.
template <int kOctets>
QUADLITE_AVX512 void fill_narrow_octets(const PreparedQuad& q, const Edges& e,
                                        std::int32_t first, std::int32_t last,
                                        const TargetImage& target);
#endif

}  // namespace quadlite
