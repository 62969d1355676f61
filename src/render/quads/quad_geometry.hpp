// The per-quad steps both passes of the quad path run inside their own
// loops: map a quad's nodes to device points, test finiteness, box, order
// and colour it. Points travel as two-lane vectors (x, y).
#pragma once

#include <cmath>
#include <cstdint>

#include "render/mesh.hpp"
#include "render/render_types.hpp"
#include "render/vector_types.hpp"

namespace quadlite {

// Whether the turns of P0..P3 agree in sign within 2^-20 of the longest
// squared edge.
bool quad_is_convex(const Point p[4]);

// Sorts four vertices by angle around their centroid, nearer first on ties;
// stable.
void sort_around_centroid(Point p[4]);

QUADLITE_INLINE Point to_point(F64x2 v) { return Point{v[0], v[1]}; }

// Both points finite: p - p is 0 for a finite p and NaN otherwise.
QUADLITE_INLINE bool finite_points(F64x2 p, F64x2 q) {
  return all_lanes(((p - p) + (q - q)) == splat(0.0));
}

// The quad's pixel box clipped to `clip`, from the least and greatest (x, y)
// of its vertices: lower_bound_px of the least, upper_bound_px of the
// greatest, clamped. False when empty. Within the 32-bit range the bounds
// come from truncation, two lanes at a time, without floor and ceil.
QUADLITE_INLINE bool clipped_box(F64x2 least, F64x2 greatest, const ClipBox& clip, PreparedQuad& q) {
  std::int32_t lo[2], hi[2];
  const I64x2 in_range = (least >= splat(-2147483648.0)) & (least < splat(2147483648.0)) &
                         (greatest > splat(-2147483649.0)) & (greatest <= splat(2147483647.0));
  if (all_lanes(in_range)) {
    // Truncate, then step down (up) where truncation went up (down).
    const I32x2 t_lo = __builtin_convertvector(least, I32x2);
    const I32x2 t_hi = __builtin_convertvector(greatest, I32x2);
    const I64x2 up = __builtin_convertvector(t_lo, F64x2) > least;
    const I64x2 down = __builtin_convertvector(t_hi, F64x2) < greatest;
    const I32x2 f = t_lo + __builtin_convertvector(up, I32x2);    // true is -1
    const I32x2 c = t_hi - __builtin_convertvector(down, I32x2);
    lo[0] = f[0];
    lo[1] = f[1];
    hi[0] = c[0];
    hi[1] = c[1];
  } else {
    for (int k = 0; k < 2; ++k) {
      lo[k] = lower_bound_px(least[k]);
      hi[k] = upper_bound_px(greatest[k]);
    }
  }
  q.x0 = lo[0] > clip.x0 ? lo[0] : clip.x0;
  q.x1 = hi[0] < clip.x1 ? hi[0] : clip.x1;
  q.y0 = lo[1] > clip.y0 ? lo[1] : clip.y0;
  q.y1 = hi[1] < clip.y1 ? hi[1] : clip.y1;
  return q.x0 < q.x1 && q.y0 < q.y1;
}

QUADLITE_INLINE bool box_of(const F64x2 v[4], const ClipBox& clip, PreparedQuad& q) {
  F64x2 least = v[0] < v[1] ? v[0] : v[1];
  F64x2 greatest = v[0] > v[1] ? v[0] : v[1];
  least = v[2] < least ? v[2] : least;
  greatest = v[2] > greatest ? v[2] : greatest;
  least = v[3] < least ? v[3] : least;
  greatest = v[3] > greatest ? v[3] : greatest;
  return clipped_box(least, greatest, clip, q);
}

// Whether no turn of P0..P3 is positive or none negative: then
// quad_is_convex holds whatever its tolerance, which is never negative, so
// the squared edge lengths need not be formed. Turns k and k+2 share a
// vector; each is quad_is_convex's expression; NaN turns count for neither
// side in both.
QUADLITE_INLINE bool turns_agree(const F64x2 v[4]) {
  const F64x2 x02{v[0][0], v[2][0]}, y02{v[0][1], v[2][1]};
  const F64x2 x13{v[1][0], v[3][0]}, y13{v[1][1], v[3][1]};
  const F64x2 x31{v[3][0], v[1][0]}, y31{v[3][1], v[1][1]};
  const F64x2 x20{v[2][0], v[0][0]}, y20{v[2][1], v[0][1]};
  // Turns at P0, P2: previous P3, P1; next P1, P3.
  const F64x2 t02 = (x02 - x31) * (y13 - y31) - (y02 - y31) * (x13 - x31);
  // Turns at P1, P3: previous P0, P2; next P2, P0.
  const F64x2 t13 = (x13 - x02) * (y20 - y02) - (y13 - y02) * (x20 - x02);
  const I64x2 left = (t02 > splat(0.0)) | (t13 > splat(0.0));
  const I64x2 right = (t02 < splat(0.0)) | (t13 < splat(0.0));
  return !((left[0] | left[1]) && (right[0] | right[1]));
}

// A cell of a rectilinear grid: P0 P3 and P1 P2 level, P0 P1 and P3 P2
// upright. Its turns are products of the same two differences, so they
// agree in sign (turns_agree holds) and the turns need not be formed.
QUADLITE_INLINE bool axis_aligned_rectangle(const F64x2 v[4]) {
  // (x0, y0) == (x1, y3) and (x3, y1) == (x2, y2)
  const F64x2 a{v[1][0], v[3][1]}, b{v[2][0], v[2][1]}, c{v[3][0], v[1][1]};
  return all_lanes((v[0] == a) & (c == b));
}

// A walk over the mesh in ascending quad order. It carries the device points
// the next quad shares with the one before it, so that each node is mapped
// once per pair of mesh rows rather than once per quad that uses it.
struct QuadCursor {
  std::uint64_t quad = 0;  // the next quad
  std::uint64_t column = 0;
  const double* node = nullptr;    // its node (r, c)
  const double* colour = nullptr;  // its colour row
  bool left_known = false;         // p0, p1 hold its P0 and P1, finite
  F64x2 p0{0, 0}, p1{0, 0};
};

// A cursor on quad `quad` (< W * H).
QUADLITE_INLINE QuadCursor cursor_at(const MeshView& mesh, std::uint64_t quad) {
  QuadCursor at;
  at.quad = quad;
  at.column = quad % mesh.width;
  const std::uint64_t row = quad / mesh.width;
  at.node = mesh.coords + 2 * (row * (mesh.width + 1) + at.column);
  at.colour = mesh.colours + 4 * (quad % static_cast<std::uint64_t>(mesh.colour_rows));
  return at;
}

QUADLITE_INLINE void step(const MeshView& mesh, QuadCursor& at) {
  ++at.quad;
  at.node += 2;
  at.colour += 4;
  if (at.colour == mesh.colours + 4 * mesh.colour_rows) at.colour = mesh.colours;
  if (++at.column == mesh.width) {
    at.column = 0;
    at.node += 2;  // past the row's last node
    at.left_known = false;
  }
}

enum class Vertices { transparent, finite, not_finite };

// P0..P3 of the cursor's quad (nodes (r,c), (r+1,c), (r+1,c+1), (r,c+1))
// unless the quad is transparent, and whether all are finite; moves the
// cursor on. Every pass checks the points it maps, even after an earlier
// pass found them finite: the caller's arrays may be written by another
// thread while the interpreter lock is released, and a non-finite vertex
// would send the fill out to the image edge.
QUADLITE_INLINE Vertices device_vertices(const MeshView& mesh, const DeviceMap& map, QuadCursor& at,
                                F64x2 v[4]) {
  if (transparent(at.colour)) {
    at.left_known = false;
    step(mesh, at);
    return Vertices::transparent;
  }
  const double* below = at.node + 2 * (mesh.width + 1);
  // Shared points were checked when they were mapped, as P3 and P2.
  bool finite = true;
  if (!at.left_known) {
    at.p0 = map_node(map, at.node);
    at.p1 = map_node(map, below);
    finite = finite_points(at.p0, at.p1);
  }
  v[0] = at.p0;
  v[1] = at.p1;
  v[2] = map_node(map, below + 2);
  v[3] = map_node(map, at.node + 2);
  finite = finite & finite_points(v[2], v[3]);
  at.p0 = v[3];
  at.p1 = v[2];
  at.left_known = finite;
  step(mesh, at);
  return finite ? Vertices::finite : Vertices::not_finite;
}

enum class QuadFate { skipped, drawn, not_finite };

// Prepares the cursor's quad and moves the cursor on: skipped when
// transparent, when its box clipped to `clip` is empty, or when neither its
// own vertex order nor the order sorted around its centroid is convex;
// not_finite when a vertex is not finite. `out` is meaningful only when
// drawn.
QUADLITE_INLINE QuadFate prepare_next(const MeshView& mesh, const DeviceMap& map,
                                      const ClipBox& clip, QuadCursor& at, PreparedQuad& out) {
  const double* rgba = at.colour;
  F64x2 v[4];
  switch (device_vertices(mesh, map, at, v)) {
    case Vertices::transparent: return QuadFate::skipped;
    case Vertices::not_finite: return QuadFate::not_finite;
    case Vertices::finite: break;
  }
  // Box before convexity: both only decide whether the quad is skipped, and
  // the box does not depend on the vertex order.
  if (!box_of(v, clip, out)) return QuadFate::skipped;
  for (int k = 0; k < 4; ++k) out.p[k] = to_point(v[k]);
  if (!axis_aligned_rectangle(v) && !turns_agree(v) && !quad_is_convex(out.p)) {
    sort_around_centroid(out.p);
    if (!quad_is_convex(out.p)) return QuadFate::skipped;
  }
  out.colour = packed_colour(rgba);
  return QuadFate::drawn;
}

}  // namespace quadlite
