// The check pass's plain gathering kernel, one point a vector.
#include "render/quads/check_groups.hpp"

#include <cmath>

#include "render/mesh.hpp"
#include "render/quads/quad_geometry.hpp"

namespace quadlite {

void gather_group(const GatherFrame& frame, const double* above, const double* below,
                  std::uint32_t count, GroupFindings& out) noexcept {
  const DeviceMap map = device_map(frame.matrix);
  // Quads whose bounds lie outside these cannot have a box in the clip box.
  const F64x2 clip_least{frame.clip_x0, frame.clip_y0};
  const F64x2 clip_greatest{frame.clip_x1, frame.clip_y1};
  // The quad's left pair of vertices is the right pair of the quad before:
  // mapped, tested and bounded once.
  F64x2 left_a = map_node(map, above), left_b = map_node(map, below);
  bool left_finite = finite_points(left_a, left_b);
  F64x2 left_least = left_a < left_b ? left_a : left_b;
  F64x2 left_greatest = left_a > left_b ? left_a : left_b;
  double work[kGroupQuads] = {};
  double least_y = HUGE_VAL, greatest_y = -HUGE_VAL;
  std::uint32_t counted = 0, not_finite = 0;
  for (std::uint32_t k = 0; k < count && k < kGroupQuads; ++k) {
    const F64x2 right_a = map_node(map, above + 2 * (k + 1));
    const F64x2 right_b = map_node(map, below + 2 * (k + 1));
    const bool right_finite = finite_points(right_a, right_b);
    const F64x2 right_least = right_a < right_b ? right_a : right_b;
    const F64x2 right_greatest = right_a > right_b ? right_a : right_b;
    const F64x2 least = left_least < right_least ? left_least : right_least;
    const F64x2 greatest = left_greatest > right_greatest ? left_greatest : right_greatest;
    left_least = right_least;
    left_greatest = right_greatest;
    const bool finite = left_finite && right_finite;
    left_finite = right_finite;
    if (!finite) {
      not_finite |= 1u << k;
      continue;
    }
    if (!all_lanes((greatest > clip_least) & (least < clip_greatest))) continue;
    counted |= 1u << k;
    least_y = least[1] < least_y ? least[1] : least_y;
    greatest_y = greatest[1] > greatest_y ? greatest[1] : greatest_y;
    // The box is about one pixel wider and taller than the bounds; its
    // rows of four columns, rounded up, are taken as a quarter of its
    // width and a half, which costs no rounding.
    const F64x2 size = greatest - least;
    const double narrow_row = kNarrowRowWork * (0.25 * size[0] + 0.75);
    const double per_row = narrow_row < kSpanRowWork ? narrow_row : kSpanRowWork;
    work[k] = kQuadWork + (size[1] + 1) * per_row;
  }
  out.least_y = least_y;
  out.greatest_y = greatest_y;
  out.work = ((work[0] + work[4]) + (work[2] + work[6])) + ((work[1] + work[5]) + (work[3] + work[7]));
  out.counted = counted;
  out.not_finite = not_finite;
}

void gather_groups(const GatherFrame& frame, const double* above, const double* below,
                   std::uint32_t count, GroupFindings* out) noexcept {
  for (std::uint32_t q = 0; q < count; q += kGroupQuads, ++out)
    gather_group(frame, above + 2 * q, below + 2 * q, count - q, *out);
}

}  // namespace quadlite
