#include "render/face_alphas.hpp"

#include <cmath>
#include <new>

#include "render/cpu_features.hpp"
#include "render/face_alphas_avx2.hpp"
#include "render/render_types.hpp"

namespace quadlite {

bool alphas_binary(const double* colours, std::uint64_t begin, std::uint64_t end,
                   std::uint32_t* packed) noexcept {
#if defined(QUADLITE_WIDE_VECTORS)
  if (packed != nullptr && cpu_has_avx2) return alphas_binary_packing_avx2(colours, begin, end, packed);
#endif
  for (std::uint64_t k = begin; k < end; ++k) {
    const double a = colours[4 * k + 3];
    if (std::fabs(a) > kAlphaTolerance && std::fabs(a - 1.0) > kAlphaTolerance) return false;
    if (packed != nullptr) packed[k] = face_colour(colours + 4 * k);
  }
  return true;
}

std::unique_ptr<std::uint32_t[]> packed_scratch(std::uint64_t colour_rows) noexcept {
  if (colour_rows > UINT64_MAX / 4) return nullptr;
  return std::unique_ptr<std::uint32_t[]>(new (std::nothrow) std::uint32_t[colour_rows]);
}

}  // namespace quadlite
