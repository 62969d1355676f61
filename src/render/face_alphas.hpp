// The face alpha rule of the eligibility checks: the fast path draws only
// colours that are opaque or transparent.
#pragma once

#include <cstdint>

namespace quadlite {

// Whether the alpha of every colour row in [begin, end) of an (N, 4) array
// lies within kAlphaTolerance of 0 or of 1. A NaN alpha passes: both
// comparisons fail for it.
bool alphas_binary(const double* colours, std::uint64_t begin, std::uint64_t end) noexcept;

}  // namespace quadlite
