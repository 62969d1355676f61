// The mesh as both paths read it: its arrays, the map of its nodes to device
// pixels, and its cells' colours.
#pragma once

#include <cmath>
#include <cstdint>

#include "render/render_types.hpp"
#include "render/vector_types.hpp"

namespace quadlite {

// The mesh as the eligibility checks hand it over.
struct MeshView {
  std::uint64_t width = 0;       // W: quads per mesh row
  std::uint64_t height = 0;      // H: quad rows
  const double* coords = nullptr;   // (H+1, W+1, 2), C order
  const double* colours = nullptr;  // (N, 4), C order
  std::int64_t colour_rows = 0;     // N >= 1
  const double* matrix = nullptr;   // 3x3 row-major; rows 0 and 1 used
  // The N colours packed once (packed_colour, with alpha byte 0 where the
  // colour is transparent, 255 elsewhere), or null: then each reader packs
  // from `colours` itself. Same bytes either way.
  const std::uint32_t* packed = nullptr;
};

// The first two matrix rows by column: (X, Y) = (cx * x + cy * y) + ct.
struct DeviceMap {
  F64x2 cx, cy, ct;
};
QUADLITE_INLINE DeviceMap device_map(const double* m) {
  return {F64x2{m[0], m[3]}, F64x2{m[1], m[4]}, F64x2{m[2], m[5]}};
}
// (m00 * x + m01 * y) + m02 and (m10 * x + m11 * y) + m12: products first,
// translation last.
QUADLITE_INLINE F64x2 map_node(const DeviceMap& d, const double* node) {
  return (d.cx * node[0] + d.cy * node[1]) + d.ct;
}

// Cells the eligibility checks took as transparent paint nothing; NaN alpha
// is not within the tolerance, so such a cell is drawn opaque.
QUADLITE_INLINE bool transparent(const double* rgba) { return std::fabs(rgba[3]) <= kAlphaTolerance; }

// The packed colour of a cell, R, G and B each by the rule of the reference
// colour_byte (clamp to [0, 1], NaN to 0, scale by 255, round half away from
// zero), alpha 255.
QUADLITE_INLINE std::uint32_t packed_colour(const double* rgba) {
  F64x2 rg{rgba[0], rgba[1]}, b{rgba[2], 0.0};
  rg = rg > splat(0.0) ? rg : splat(0.0);
  b = b > splat(0.0) ? b : splat(0.0);
  rg = (rg < splat(1.0) ? rg : splat(1.0)) * splat(255.0);
  b = (b < splat(1.0) ? b : splat(1.0)) * splat(255.0);
  I32x2 whole_rg = __builtin_convertvector(rg, I32x2);
  I32x2 whole_b = __builtin_convertvector(b, I32x2);
  // The fraction of a value in [0, 255] is exact; true is -1.
  whole_rg -= __builtin_convertvector(rg - __builtin_convertvector(whole_rg, F64x2) >= splat(0.5),
                                      I32x2);
  whole_b -= __builtin_convertvector(b - __builtin_convertvector(whole_b, F64x2) >= splat(0.5),
                                     I32x2);
  return pack_rgba(static_cast<std::uint8_t>(whole_rg[0]), static_cast<std::uint8_t>(whole_rg[1]),
                   static_cast<std::uint8_t>(whole_b[0]), 255);
}

}  // namespace quadlite
