// Check pass: decides whether the fast path draws the call, and indexes
// which quads reach which band of the fill pass.
#pragma once

#include <atomic>
#include <cstdint>

#include "render/bands.hpp"
#include "render/quads/quad_geometry.hpp"
#include "render/render_types.hpp"

namespace quadlite {

// Checks task `task` of `tasks` over the mesh's W*H quads, split as
// chunk_bound splits them: clears `all_finite`, and stops, at the first quad
// that is not transparent and has a device vertex that is not finite. When
// `index` is given, records for every band of `split` the task's quads whose
// clipped box reaches it. Never throws: without memory for the index, the
// index is marked incomplete and the fill walks the task's whole range.
void check_and_index(const MeshView& mesh, const ClipBox& clip, std::uint64_t task,
                     std::uint64_t tasks, std::atomic<bool>& all_finite, const BandSplit& split,
                     TaskBands* index) noexcept;

}  // namespace quadlite
