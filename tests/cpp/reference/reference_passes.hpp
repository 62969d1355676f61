// Reference code, for tests only: the plain rules that the module's fast
// steps implement, and the passes as first designed, with a record per
// prepared quad. prepare_task stores every quad to be drawn in a
// QuadList; fill_records_band fills a band from the lists. The module runs
// check_and_index and fill_band instead, which prepare each quad in the band
// that fills it; the differential tests hold both to the same bytes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "render/edge_rule.hpp"
#include "render/quads/quad_geometry.hpp"
#include "render/render_types.hpp"

namespace quadlite {

// Colour byte of one component: clamp to [0,1], scale, round half away
// (packed_colour is the module's rule for three of them).
std::uint8_t colour_byte(double component);

// covers() for the quad with vertices p.
inline bool covers(const Point p[4], double X, double Y) { return covers(edges_of(p), X, Y); }

// The record a quad kept between the passes.
static_assert(std::is_trivially_copyable<PreparedQuad>::value, "plain record");
static_assert(offsetof(PreparedQuad, colour) == 8 * sizeof(double), "vertices first");
static_assert(offsetof(PreparedQuad, x0) == offsetof(PreparedQuad, colour) + 4,
              "box after colour");

using QuadList = std::vector<PreparedQuad>;

// Prepares task `task` of `tasks` over the mesh's W*H quads, appending every
// quad to be drawn to `out` in quad order. Clears `all_finite` and stops at
// the first drawn quad with a non-finite device vertex. Never throws:
// running out of memory clears `all_finite` too.
void prepare_task(const MeshView& mesh, const ClipBox& clip, std::uint64_t task,
                  std::uint64_t tasks, QuadList& out, std::atomic<bool>& all_finite) noexcept;

// Fills band `band` of `bands` over the clip rows [clip_y0, clip_y0 + rows)
// with fill_quad, walking the lists in order so later quads win.
void fill_records_band(const std::vector<QuadList>& lists, std::int32_t clip_y0,
                       std::int32_t rows, std::uint64_t band, std::uint64_t bands,
                       const TargetImage& target) noexcept;

// The plain fill: covers() for every pixel of rows [first, last) of q's box.
void fill_quad_per_pixel(const PreparedQuad& q, std::int32_t first, std::int32_t last,
                         const TargetImage& target) noexcept;

}  // namespace quadlite
