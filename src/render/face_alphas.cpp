#include "render/face_alphas.hpp"

#include <cmath>

#include "render/render_types.hpp"

namespace quadlite {

bool alphas_binary(const double* colours, std::uint64_t begin, std::uint64_t end) noexcept {
  for (std::uint64_t k = begin; k < end; ++k) {
    const double a = colours[4 * k + 3];
    if (std::fabs(a) > kAlphaTolerance && std::fabs(a - 1.0) > kAlphaTolerance) return false;
  }
  return true;
}

}  // namespace quadlite
