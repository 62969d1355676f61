// The face alpha pass's four-lane kernel (face_alphas_avx2.cpp).
#pragma once

#include <cstdint>

#include "render/vector_types.hpp"

namespace quadlite {

#if defined(QUADLITE_WIDE_VECTORS)
// alphas_binary (face_alphas.hpp) with `packed`, four rows to a vector,
// for processors with AVX2: the same answer, and where true the same
// face_colour in every packed[k].
QUADLITE_AVX2 bool alphas_binary_packing_avx2(const double* colours, std::uint64_t begin,
                                              std::uint64_t end, std::uint32_t* packed) noexcept;
#endif

}  // namespace quadlite
