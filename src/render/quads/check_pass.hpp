// Check pass: decides whether the fast path draws the call and, when the
// fill has several bands, finds which rows each quad reaches and how much
// fill work each row brings; from that the job splits the rows into bands
// of even work and indexes which quads reach which band.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "render/bands.hpp"
#include "render/quads/quad_geometry.hpp"
#include "render/render_types.hpp"

namespace quadlite {

// The clip rows [first_row, first_row + rows) in buckets of 2^shift rows,
// `count` of them, at most kMaxRowBuckets: the grain at which the check
// pass measures the fill's work and at which the bands are cut.
struct RowBuckets {
  std::int32_t first_row = 0;
  std::int32_t rows = 0;
  int shift = 0;
  std::uint32_t count = 0;
};
constexpr std::uint32_t kMaxRowBuckets = 1024;

RowBuckets row_buckets(std::int32_t first_row, std::int32_t rows);

// What one check task found: for each quad of its range [first_quad,
// end_quad), the first and last bucket its clipped box reaches (first |
// last << 16), or kReachesNoRow when the box is empty or a vertex is not
// finite; and for each bucket, the fill work the range's quads bring to its
// rows. Transparent quads are recorded like the others: telling them apart
// would mean reading every colour. Incomplete (range too long for 32-bit
// offsets, or no memory) when `complete` is false.
struct TaskRows {
  std::uint64_t first_quad = 0;
  std::uint64_t end_quad = 0;
  bool complete = false;
  std::unique_ptr<std::uint32_t[]> reach;  // end_quad - first_quad entries
  std::vector<double> work;
};
constexpr std::uint32_t kReachesNoRow = UINT32_MAX;

// Checks task `task` of `tasks` over the mesh's W*H quads, split as
// chunk_bound splits them: clears `all_finite`, and stops, at the first quad
// that is not transparent and has a device vertex that is not finite. When
// `found` is given, records there what the task found of the rows (see
// TaskRows). Never throws: without memory, `found` is left incomplete.
void check_task(const MeshView& mesh, const ClipBox& clip, std::uint64_t task,
                std::uint64_t tasks, std::atomic<bool>& all_finite, const RowBuckets& buckets,
                TaskRows* found) noexcept;

// Splits the rows into split.bands bands of even work, at bucket
// boundaries, from what every task found; equal bands where a task's
// findings are incomplete.
void split_by_found_work(const std::vector<TaskRows>& found, const RowBuckets& buckets,
                         BandSplit& split) noexcept;

// The index of one task for the fill: for every band of `split`, the task's
// quads whose box reaches it, in mesh order: exactly those where the split
// is cut at bucket boundaries (as split_by_found_work cuts it), else also
// some whose bucket reaches the band. Incomplete when `found` is, or
// without memory.
void index_bands(const TaskRows& found, const RowBuckets& buckets, const BandSplit& split,
                 TaskBands& index) noexcept;

}  // namespace quadlite
