// The fill pass's walk over a range of quads, several consecutive quads of a
// mesh row to a batch: two (plain), four (AVX2) or eight (AVX-512) at once.
#pragma once

#include <cstdint>

#include "render/mesh.hpp"
#include "render/render_types.hpp"
#include "render/vector_types.hpp"

namespace quadlite {

// Draws the quads [begin, end) of the mesh, in mesh order, as prepare_next
// and fill_quad(q, q.y0, q.y1, target, lanes) would one by one: each quad
// mapped, tested, boxed by `own` and ordered as prepare_next does. Quads
// whose box holds at most 8 x 8 pixel centres are tested side by side and
// stored without a call each; the rest go to fill_quad. `lanes` goes on to
// fill_quad.
void walk_batches(const MeshView& mesh, const ClipBox& own, std::uint64_t begin,
                  std::uint64_t end, const TargetImage& target, int lanes) noexcept;

#if defined(QUADLITE_WIDE_VECTORS)
// The same walk, four quads to a vector. Only for processors with AVX2.
QUADLITE_AVX2 void walk_batches_avx2(const MeshView& mesh, const ClipBox& own,
                                     std::uint64_t begin, std::uint64_t end,
                                     const TargetImage& target, int lanes) noexcept;
// Eight quads to a vector. Only for processors with AVX-512 (cpu_has_avx512).
QUADLITE_AVX512 void walk_batches_avx512(const MeshView& mesh, const ClipBox& own,
                                         std::uint64_t begin, std::uint64_t end,
                                         const TargetImage& target, int lanes) noexcept;
#endif

}  // namespace quadlite
