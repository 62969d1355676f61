// The check pass's gathering step: the quads of a mesh row in groups of
// eight, each group reduced to what the stretches need (which quads count,
// which are not finite, their rows and their fill work). The plain kernel
// here is the rule; check_groups_avx2.cpp and check_groups_avx512.cpp hold
// its four- and eight-lane kernels, which give the same findings bit for
// bit, so that the bands do not depend on the processor.
#pragma once

#include <cstdint>

#include "render/render_types.hpp"
#include "render/vector_types.hpp"

namespace quadlite {

constexpr std::uint32_t kGroupQuads = 8;

// The mesh's map and the clip box, as the kernels read them.
struct GatherFrame {
  const double* matrix = nullptr;  // rows 0 and 1 used
  double clip_x0 = 0, clip_y0 = 0, clip_x1 = 0, clip_y1 = 0;
};

// What a group of quads brings. Quad k of the group counts (bit k of
// `counted`) when its four device vertices are finite and its bounds may
// reach the clip box; bit k of `not_finite` when a vertex is not finite.
// Over the quads that count: the least and greatest device y of their
// vertices, and their fill work summed in a fixed order (lane k with lane
// k + 4, then k with k + 2, then the two), as one eight-lane vector sums.
// The bounds are meaningful only when some quad counts.
struct GroupFindings {
  double least_y = 0, greatest_y = 0, work = 0;
  std::uint32_t counted = 0, not_finite = 0;
};

// What the fill of a band spends on a quad, roughly, in nanoseconds on a
// current x86-64 core (fitted to the band times of annuli, turned grids and
// jittered meshes of several cell sizes): its preparation, and then per row
// of its box, for a narrow box (filled pixel by pixel, four columns to a
// vector) each four columns, for a wide one (filled as spans, at most this)
// the row. Only the ratios matter: they weigh rows against each other.
constexpr double kQuadWork = 35;
constexpr double kNarrowRowWork = 6.3;  // per row and four columns
constexpr double kSpanRowWork = 18.3;

// The plain kernel: findings for the `count` (1 to 8) quads of one mesh row
// whose left nodes are `above` (row r) and `below` (row r + 1), one point a
// vector. The wide kernels take a group from it where any coordinate may
// not be finite.
void gather_group(const GatherFrame& frame, const double* above, const double* below,
                  std::uint32_t count, GroupFindings& out) noexcept;

// Findings for quads [0, count) of a mesh row from `above` and `below`, in
// groups of eight from the first: out[g] for quads [8g, 8g + 8), the last
// group short when count is not a multiple of eight. Reads the count + 1
// nodes of each row and no more.
void gather_groups(const GatherFrame& frame, const double* above, const double* below,
                   std::uint32_t count, GroupFindings* out) noexcept;

#if defined(QUADLITE_WIDE_VECTORS)
// gather_groups four quads to a vector, for processors with AVX2.
QUADLITE_AVX2 void gather_groups_avx2(const GatherFrame& frame, const double* above,
                                      const double* below, std::uint32_t count,
                                      GroupFindings* out) noexcept;
// gather_groups eight quads to a vector, for processors with AVX-512.
QUADLITE_AVX512 void gather_groups_avx512(const GatherFrame& frame, const double* above,
                                          const double* below, std::uint32_t count,
                                          GroupFindings* out) noexcept;
#endif

// The count + 1 nodes of a short group (count < 8) at `from`, then copies
// of the last up to nine nodes: a whole group's reads, from a copy.
inline void pad_group_nodes(const double* from, std::uint32_t count,
                            double (&out)[2 * (kGroupQuads + 1)]) {
  for (std::uint32_t k = 0; k <= kGroupQuads; ++k) {
    const std::uint32_t node = k <= count ? k : count;
    out[2 * k] = from[2 * node];
    out[2 * k + 1] = from[2 * node + 1];
  }
}

}  // namespace quadlite
