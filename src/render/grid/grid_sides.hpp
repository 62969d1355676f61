// The edge rule on grid cells, by the sides of their four edge values.
// The grid check settles what it can by signs; the grid fill the rest.
#pragma once

#include <cmath>
#include <cstdint>

#include "render/edge_rule.hpp"
#include "render/render_types.hpp"

namespace quadlite {
namespace grid_sides {

// ---- The edge rule on a grid cell --------------------------------------
//
// covers() for cell (r, c), whose vertices are P0 (x_c, y_r), P1 (x_c,
// y_r+1), P2 (x_c+1, y_r+1), P3 (x_c+1, y_r). With hy = y_r+1 - y_r and
// wx = x_c+1 - x_c, one product of each edge value has a zero factor (and a
// finite other factor), so the four values are, up to the sign of a zero,
// which no comparison sees:
//   E0 = -(hy * (X - x_c)),  E2 = hy * (X - x_c+1)   (the upright edges)
//   E1 = wx * (Y - y_r+1),   E3 = -(wx * (Y - y_r))   (the level edges)
// each product rounded as in the generic rule. The upright values depend on
// the cell's height and the level ones on its width: the tolerance in x is
// not the same for every cell row.

// Bit 0: above the tolerance; bit 1: below its negative; NaN neither.
QUADLITE_INLINE unsigned side(double v) {
  return static_cast<unsigned>(clearly_positive(v)) |
         static_cast<unsigned>(clearly_negative(v)) << 1;
}
// Sides of E0 (bits 0, 1) and E2 (bits 2, 3).
QUADLITE_INLINE unsigned upright_sides(double hy, double x0, double x1, double X) {
  return side(-(hy * (X - x0))) | side(hy * (X - x1)) << 2;
}
// Sides of E1 (bits 0, 1) and E3 (bits 2, 3).
QUADLITE_INLINE unsigned level_sides(double wx, double g0, double g1) {
  return side(wx * g1) | side(-(wx * g0)) << 2;
}
// Covered unless one value lies above the tolerance and another below.
QUADLITE_INLINE bool covered(unsigned sides) {
  const unsigned any = sides | sides >> 2;
  return (any & 3u) != 3u;
}

// ---- Sides settled by signs --------------------------------------------
//
// |hy * d| rounds monotonically in |hy|: where the least non-zero height of
// the grid puts hy * d beyond the tolerance, every non-zero height does,
// and the side is the sign of hy times that of d. A zero d, or a zero hy,
// gives a zero (or, with an infinite factor, NaN) product: neutral. The same
// holds for the level edges with the least width.

constexpr std::uint8_t kUnsettled = 0xFF;  // no pair of 2-bit sides is 3

QUADLITE_INLINE unsigned sign_side(double v) {
  return static_cast<unsigned>(v > 0) | static_cast<unsigned>(v < 0) << 1;
}
QUADLITE_INLINE bool settles(double least, double d) {
  return d == 0.0 || least * std::fabs(d) > kEdgeTolerance;
}

// upright_sides at X = first (bits 0-3) and at X = last (bits 4-7) for any
// positive height, or kUnsettled.
inline std::uint8_t settled_upright(double x0, double x1, double first, double last, double least) {
  const double d[4] = {first - x0, first - x1, last - x0, last - x1};
  for (const double v : d)
    if (!settles(least, v)) return kUnsettled;
  return static_cast<std::uint8_t>(sign_side(-d[0]) | sign_side(d[1]) << 2 |
                                   sign_side(-d[2]) << 4 | sign_side(d[3]) << 6);
}

// Settled sides for a cell of height hy: as they are for hy > 0, above and
// below swapped for hy < 0, neutral for hy == 0.
QUADLITE_INLINE unsigned for_height(unsigned sides, double hy) {
  if (hy > 0) return sides;
  if (hy < 0) return (sides & 0x55u) << 1 | (sides >> 1 & 0x55u);
  return 0;
}

}  // namespace grid_sides
}  // namespace quadlite
