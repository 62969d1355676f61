// The face alpha rule of the eligibility checks: the fast path draws only
// colours that are opaque or transparent. The pass that reads every alpha
// also packs every colour, once, for the fills.
#pragma once

#include <cstdint>
#include <memory>

#include "render/mesh.hpp"

namespace quadlite {

// Whether the alpha of every colour row in [begin, end) of an (N, 4) array
// lies within kAlphaTolerance of 0 or of 1. A NaN alpha passes: both
// comparisons fail for it. Where `packed` is given, also sets packed[k] to
// face_colour of row k for every row read (all of them when true).
bool alphas_binary(const double* colours, std::uint64_t begin, std::uint64_t end,
                   std::uint32_t* packed = nullptr) noexcept;

// The colour a face paints as MeshView::packed holds it: packed_colour's
// bytes, with alpha byte 0 where the colour is transparent.
QUADLITE_INLINE std::uint32_t face_colour(const double* rgba) {
  const std::uint32_t colour = packed_colour(rgba);
  return transparent(rgba) ? colour & ~pack_rgba(0, 0, 0, 255) : colour;
}

// Whether a face colour (face_colour) paints nothing.
QUADLITE_INLINE bool face_transparent(std::uint32_t colour) {
  return (colour & pack_rgba(0, 0, 0, 255)) == 0;
}

// Scratch for the N packed colours, or null where there is no memory for
// them (then every reader packs from the doubles, as before).
std::unique_ptr<std::uint32_t[]> packed_scratch(std::uint64_t colour_rows) noexcept;

}  // namespace quadlite
