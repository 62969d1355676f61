#include "render/face_alphas.hpp"

#include <cmath>

#include "render/render_types.hpp"

namespace quadlite {

bool alphas_binary(const double* colours, std::uint64_t begin, std::uint64_t end) noexcept {
  // Blocks without an early exit inside, so that the compiler can widen the
  // tests; the scan is bound by memory either way.
  constexpr std::uint64_t kBlock = 64;
  for (std::uint64_t k = begin; k < end;) {
    const std::uint64_t stop = end - k > kBlock ? k + kBlock : end;
    bool off = false;
    for (; k < stop; ++k) {
      const double a = colours[4 * k + 3];
      off |= (std::fabs(a) > kAlphaTolerance) & (std::fabs(a - 1.0) > kAlphaTolerance);
    }
    if (off) return false;
  }
  return true;
}

}  // namespace quadlite
