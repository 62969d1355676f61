// Check pass: decides whether the fast path draws the call and, when the
// fill has several bands, finds which rows the quads reach, in stretches of
// consecutive quads, and how much fill work each row brings; from that the
// job splits the rows into bands of even work and indexes which stretches
// reach which band.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "render/bands.hpp"
#include "render/cpu_features.hpp"
#include "render/quads/quad_geometry.hpp"
#include "render/render_types.hpp"

namespace quadlite {

// The clip rows [first_row, first_row + rows) in buckets of 2^shift rows,
// `count` of them, at most kMaxRowBuckets: the grain at which the check
// pass measures the fill's work and at which the bands are cut. A stretch
// of quads is closed before its rows span more than `stretch_rows`; one
// that spans `spread_buckets` or more has its work spread over them, a
// shorter one adds it to its middle bucket.
struct RowBuckets {
  std::int32_t first_row = 0;
  std::int32_t rows = 0;
  int shift = 0;
  std::uint32_t count = 0;
  double stretch_rows = 1;
  std::uint32_t spread_buckets = 16;
};
constexpr std::uint32_t kMaxRowBuckets = 1024;

// The buckets of the clip rows, and stretches short enough that few of
// them straddle two of about `bands` bands.
RowBuckets row_buckets(std::int32_t first_row, std::int32_t rows, std::uint64_t bands);

// Consecutive quads of one mesh row, [begin, end) as offsets from the task's
// first quad, and the buckets [first_bucket, last_bucket] that the boxes of
// those quads that are drawn can reach (none when first_bucket >
// last_bucket).
struct QuadStretch {
  std::uint32_t begin = 0, end = 0;
  std::uint16_t first_bucket = 1, last_bucket = 0;
};

// What one check task found: its range [first_quad, end_quad) in stretches,
// and for each bucket the fill work the range's quads bring to its rows.
// Transparent quads count like the others: telling them apart would mean
// reading every colour. Incomplete (range too long for 32-bit offsets, or
// no memory) when `complete` is false.
struct TaskRows {
  std::uint64_t first_quad = 0;
  std::uint64_t end_quad = 0;
  bool complete = false;
  std::vector<QuadStretch> stretches;
  std::vector<double> work;
};

// The widest gathering kernel this processor runs: 8 lanes with AVX-512, 4
// with AVX2, else 2. Every width gathers the same stretches and work.
inline int check_lanes() { return cpu_has_avx512 ? 8 : cpu_has_avx2 ? 4 : 2; }

// Checks task `task` of `tasks` over the mesh's W*H quads, split as
// chunk_bound splits them: clears `all_finite`, and stops, at the first quad
// that is not transparent and has a device vertex that is not finite. When
// `found` is given, records there what the task found of the rows (see
// TaskRows), gathering the quads `lanes` (2, 4 or 8, as the processor
// allows) at a time. Never throws: without memory, `found` is left
// incomplete.
void check_task(const MeshView& mesh, const ClipBox& clip, std::uint64_t task,
                std::uint64_t tasks, std::atomic<bool>& all_finite, const RowBuckets& buckets,
                TaskRows* found, int lanes = check_lanes()) noexcept;

// Splits the rows into split.bands bands of even work, at bucket
// boundaries, from what every task found; equal bands where a task's
// findings are incomplete.
void split_by_found_work(const std::vector<TaskRows>& found, const RowBuckets& buckets,
                         BandSplit& split) noexcept;

// The index of one task for the fill: for every band of `split`, runs of
// the task's quads that hold, in mesh order, every quad whose box reaches
// the band, and some that do not (those of a stretch that reaches it).
// Incomplete when `found` is, or without memory.
void index_bands(const TaskRows& found, const RowBuckets& buckets, const BandSplit& split,
                 TaskBands& index) noexcept;

}  // namespace quadlite
