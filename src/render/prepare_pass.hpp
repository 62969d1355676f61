// Prepare pass: turns mesh cells into convex, boxed, coloured device quads.
#pragma once

#include <atomic>
#include <cstdint>

#include "render/band_index.hpp"
#include "render/render_records.hpp"

namespace quadlite {

// The mesh as the eligibility checks hand it over.
struct MeshView {
  std::uint64_t width = 0;       // W: quads per mesh row
  std::uint64_t height = 0;      // H: quad rows
  const double* coords = nullptr;   // (H+1, W+1, 2), C order
  const double* colours = nullptr;  // (N, 4), C order
  std::int64_t colour_rows = 0;     // N >= 1
  const double* matrix = nullptr;   // 3x3 row-major; rows 0 and 1 used
};

// Whether the turns of P0..P3 agree in sign within 2^-20 of the longest
// squared edge.
bool quad_is_convex(const Point p[4]);

// Sorts four vertices by angle around (cx, cy), nearer first on ties; stable.
void sort_around_centroid(Point p[4]);

// Colour byte of one component: clamp to [0,1], scale, round half away.
std::uint8_t colour_byte(double component);

// Prepares task `task` of `tasks` over the mesh's W*H quads, appending to
// `out` in quad order. Clears `all_finite` and stops at the first drawn quad
// with a non-finite device vertex. Never throws: running out of memory
// clears `all_finite` too, so the job declines and the host draws.
void prepare_task(const MeshView& mesh, const ClipBox& clip, std::uint64_t task,
                  std::uint64_t tasks, QuadList& out,
                  std::atomic<bool>& all_finite) noexcept;

// The prepare pass for a fill that prepares its quads itself: stores no
// quads, only clears `all_finite` exactly when prepare_task would, and, when
// `index` is given, records for every band of `split` which of the task's
// quads reach it.
void check_task(const MeshView& mesh, const ClipBox& clip, std::uint64_t task,
                std::uint64_t tasks, std::atomic<bool>& all_finite, const BandSplit& split,
                TaskBands* index) noexcept;

}  // namespace quadlite
