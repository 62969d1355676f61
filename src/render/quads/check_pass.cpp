#include "render/quads/check_pass.hpp"

#include <algorithm>
#include <cmath>

#include "pool/batch.hpp"
#include "render/quads/quad_geometry.hpp"

namespace quadlite {
namespace {

// Whether every node the quads [begin, end) use maps to finite device
// coordinates, whatever the quads' alphas: a finite matrix, and coordinates
// small enough that no mapped value can come near overflow. Reads only the
// coordinates (of whole node rows, a few more than needed), so a false
// answer merely sends the caller to the exact per-quad test.
bool nodes_map_finite(const MeshView& mesh, std::uint64_t begin, std::uint64_t end) {
  const double* m = mesh.matrix;
  for (int k = 0; k < 6; ++k)
    if (!std::isfinite(m[k])) return false;
  if (std::max(std::fabs(m[2]), std::fabs(m[5])) > 1e299) return false;
  const double gain =
      std::max(std::fabs(m[0]) + std::fabs(m[1]), std::fabs(m[3]) + std::fabs(m[4]));
  // |X| <= gain * limit + 1e299 stays far below the largest double.
  const double limit = gain > 1.0 ? 1e299 / gain : 1e299;
  const std::uint64_t first_row = begin / mesh.width;
  const std::uint64_t last_row = (end - 1) / mesh.width + 1;
  const double* v = mesh.coords + 2 * first_row * (mesh.width + 1);
  const std::uint64_t count = 2 * (last_row - first_row + 1) * (mesh.width + 1);
  unsigned too_big = 0;  // NaN fails the comparison too
  for (std::uint64_t k = 0; k < count; ++k) too_big |= !(std::fabs(v[k]) <= limit);
  return too_big == 0;
}

// Records quad `offset` of the task in every band its box rows reach.
void index_quad(const BandSplit& split, const PreparedQuad& box, std::uint32_t offset,
                TaskBands& index) {
  const std::uint64_t first = band_of_row(split, box.y0);
  const std::uint64_t last = band_of_row(split, box.y1 - 1);
  for (std::uint64_t b = first; b <= last; ++b) index.by_band[b].push_back(offset);
}

}  // namespace

void check_and_index(const MeshView& mesh, const ClipBox& clip, std::uint64_t task,
                     std::uint64_t tasks, std::atomic<bool>& all_finite, const BandSplit& split,
                     TaskBands* index) noexcept {
  if (tasks == 0 || task >= tasks || mesh.width == 0 || mesh.colour_rows <= 0) return;
  const std::uint64_t quads = mesh.width * mesh.height;
  const std::uint64_t begin = chunk_bound(task, quads, tasks);
  const std::uint64_t end = chunk_bound(task + 1, quads, tasks);

  bool indexing = false;
  if (index != nullptr) {
    index->first_quad = begin;
    index->end_quad = end;
    index->complete = false;
    if (split.bands > 0 && end - begin <= std::uint64_t{UINT32_MAX} + 1) {
      try {
        index->by_band.assign(split.bands, {});
        indexing = index->complete = true;
      } catch (...) {
        // Without an index the fill walks the whole range: same image.
      }
    }
  }
  if (begin == end) return;
  if (!indexing && nodes_map_finite(mesh, begin, end)) return;

  const DeviceMap map = device_map(mesh.matrix);
  QuadCursor at = cursor_at(mesh, begin);
  F64x2 v[4];
  PreparedQuad box;
  for (std::uint64_t i = begin; i < end; ++i) {
    const Vertices found = device_vertices(mesh, map, at, v);
    if (found == Vertices::transparent) continue;
    if (found == Vertices::not_finite) {
      all_finite.store(false, std::memory_order_relaxed);
      return;
    }
    if (!indexing || !box_of(v, clip, box)) continue;
    try {
      index_quad(split, box, static_cast<std::uint32_t>(i - begin), *index);
    } catch (...) {
      indexing = index->complete = false;
      std::vector<std::vector<std::uint32_t>>().swap(index->by_band);
    }
  }
}

}  // namespace quadlite
