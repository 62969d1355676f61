// The edge rule on grid cells, by the sides of their four edge values, and
// what signs alone settle of it.
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

QUADLITE_INLINE unsigned sign_side(double v) {
  return static_cast<unsigned>(v > 0) | static_cast<unsigned>(v < 0) << 1;
}
QUADLITE_INLINE bool settles(double least, double d) {
  return d == 0.0 || least * std::fabs(d) > kEdgeTolerance;
}

// The side of a product of d and any non-zero factor of at least `least`
// in magnitude (with the factor's sign taken as positive): sign_side(d)
// where that settles it (0: d is 0), else kNear.
constexpr unsigned kNear = 3;
QUADLITE_INLINE unsigned settled_sign(double least, double d) {
  return settles(least, d) ? sign_side(d) : kNear;
}

}  // namespace grid_sides
}  // namespace quadlite
