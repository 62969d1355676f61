// The check pass, the split of the rows by the work it found, and the band
// index.
#include "render/quads/check_pass.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "pool/batch.hpp"
#include "render/cpu_features.hpp"
#include "render/quads/check_groups.hpp"
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

// The most quads of one stretch: enough that the index stays short.
constexpr std::uint32_t kStretchQuads = 256;

std::int64_t bucket_begin(const RowBuckets& b, std::uint32_t k) {
  return std::int64_t{b.first_row} + (std::int64_t{k} << b.shift);
}

std::uint32_t bucket_of(const RowBuckets& b, std::int64_t row) {
  return static_cast<std::uint32_t>((row - b.first_row) >> b.shift);
}

// Whether quad `quad` is transparent.
bool quad_transparent(const MeshView& mesh, std::uint64_t quad) {
  return transparent(mesh.colours + 4 * (quad % static_cast<std::uint64_t>(mesh.colour_rows)));
}

// Closes the stretch [begin, end) with rows `least` to `greatest` (of its
// quads that may be drawn, if `any`) and work `stretch_work`: its buckets
// from the bounds, as box_of bounds a quad (so that they hold every row a
// box of its quads holds), and its work added to them.
void close_stretch(std::uint32_t begin, std::uint32_t end, bool any, double least,
                   double greatest, double stretch_work, const ClipBox& clip, const RowBuckets& b,
                   std::vector<QuadStretch>& stretches, double* work) {
  QuadStretch s;
  s.begin = begin;
  s.end = end;
  if (any) {
    const std::int64_t y0 = std::max<std::int64_t>(clip.y0, lower_bound_px(least));
    const std::int64_t y1 = std::min<std::int64_t>(upper_bound_px(greatest), clip.y1);
    if (y0 < y1) {
      const std::uint32_t first = bucket_of(b, y0), last = bucket_of(b, y1 - 1);
      s.first_bucket = static_cast<std::uint16_t>(first);
      s.last_bucket = static_cast<std::uint16_t>(last);
      if (last - first < b.spread_buckets) {
        work[(first + last) / 2] += stretch_work;
      } else {  // a tall one: over its rows evenly
        const double per_row = stretch_work / static_cast<double>(y1 - y0);
        for (std::uint32_t k = first; k <= last; ++k) {
          const std::int64_t lo = std::max<std::int64_t>(y0, bucket_begin(b, k));
          const std::int64_t hi = std::min<std::int64_t>(y1, bucket_begin(b, k + 1));
          work[k] += per_row * static_cast<double>(hi - lo);
        }
      }
    }
  }
  stretches.push_back(s);  // may throw: the caller gives the findings up
}

// Whether every quad of bits `quads` from `first` on is transparent.
bool all_transparent(const MeshView& mesh, std::uint64_t first, std::uint32_t quads) {
  for (; quads != 0; quads &= quads - 1)
    if (!quad_transparent(mesh, first + static_cast<std::uint64_t>(__builtin_ctz(quads))))
      return false;
  return true;
}

// The kernel this processor runs for `lanes`.
using GatherGroups = void (*)(const GatherFrame&, const double*, const double*, std::uint32_t,
                              GroupFindings*) noexcept;
GatherGroups gather_kernel(int lanes) {
#if defined(QUADLITE_WIDE_VECTORS)
  if (lanes >= 8 && cpu_has_avx512) return gather_groups_avx512;
  if (lanes >= 4 && cpu_has_avx2) return gather_groups_avx2;
#endif
  (void)lanes;
  return gather_groups;
}

// Quads gathered per kernel call: the findings stay in the first-level cache.
constexpr std::uint32_t kCallGroups = 32;

// The check of the quads [begin, end) that also gathers them into
// stretches, a group of eight quads (check_groups.hpp) at a time: every
// quad with finite vertices counts, transparent or not (the fill passes
// over a transparent one quickly), so that the colours are read only where
// a vertex is not finite. False at the first quad that then turns out not
// to be transparent.
bool check_and_gather(const MeshView& mesh, const ClipBox& clip, const RowBuckets& buckets,
                      std::uint64_t begin, std::uint64_t end, TaskRows& found, int lanes) {
  const GatherGroups gather = gather_kernel(lanes);
  GatherFrame frame;
  frame.matrix = mesh.matrix;
  frame.clip_x0 = clip.x0;
  frame.clip_y0 = clip.y0;
  frame.clip_x1 = clip.x1;
  frame.clip_y1 = clip.y1;
  const std::uint64_t nodes = mesh.width + 1;
  double* work = found.work.data();
  const double stretch_rows = buckets.stretch_rows;
  GroupFindings groups[kCallGroups];
  for (std::uint64_t i = begin; i < end;) {
    // Mesh row r, columns [c, stop): nodes (r, c..stop) above, (r + 1, ...) below.
    const std::uint64_t r = i / mesh.width;
    std::uint64_t c = i % mesh.width;
    const std::uint64_t stop = std::min(mesh.width, c + (end - i));
    const double* above = mesh.coords + 2 * (r * nodes + c);
    const double* below = above + 2 * nodes;
    // The stretch being gathered.
    auto first = static_cast<std::uint32_t>(i - begin);
    double least = 0, greatest = 0, stretch_work = 0;
    bool any = false;
    while (c < stop) {
      const auto count =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(stop - c, kCallGroups * kGroupQuads));
      gather(frame, above, below, count, groups);
      for (std::uint32_t g = 0; g * kGroupQuads < count; ++g) {
        const GroupFindings& f = groups[g];
        const std::uint64_t quad = i + g * kGroupQuads;
        if (f.not_finite != 0 && !all_transparent(mesh, quad, f.not_finite)) return false;
        if (f.counted == 0) continue;
        const auto here = static_cast<std::uint32_t>(quad - begin);
        const double l = f.least_y < least ? f.least_y : least;
        const double h = f.greatest_y > greatest ? f.greatest_y : greatest;
        if (!any) {
          least = f.least_y;
          greatest = f.greatest_y;
          any = true;
        } else if (h - l > std::max(stretch_rows, f.greatest_y - f.least_y) ||
                   here - first >= kStretchQuads) {
          // Closed when taller than the grain, or than the group: a group
          // is the least a stretch holds.
          close_stretch(first, here, true, least, greatest, stretch_work, clip, buckets,
                        found.stretches, work);
          first = here;
          least = f.least_y;
          greatest = f.greatest_y;
          stretch_work = 0;
        } else {
          least = l;
          greatest = h;
        }
        stretch_work += f.work;
      }
      c += count;
      i += count;
      above += 2 * count;
      below += 2 * count;
    }
    close_stretch(first, static_cast<std::uint32_t>(i - begin), any, least, greatest,
                  stretch_work, clip, buckets, found.stretches, work);
  }
  return true;
}

}  // namespace

RowBuckets row_buckets(std::int32_t first_row, std::int32_t rows, std::uint64_t bands) {
  RowBuckets b;
  b.first_row = first_row;
  b.rows = std::max(rows, 0);
  while ((std::int64_t{b.rows} >> b.shift) >= std::int64_t{kMaxRowBuckets}) ++b.shift;
  b.count = b.rows == 0 ? 0 : static_cast<std::uint32_t>(((std::int64_t{b.rows} - 1) >> b.shift) + 1);
  // A 32nd of a band's rows at most: few stretches then straddle two bands,
  // so the bands visit few quads outside their rows (on an annulus in 8
  // bands, 3 % more than there are; an 8th would make it 14 %), while each
  // stretch still holds many quads of a fine mesh.
  const double bands_here = static_cast<double>(std::max<std::uint64_t>(bands, 1));
  b.stretch_rows = std::max(1.0, static_cast<double>(b.rows) / (32.0 * bands_here));
  // Work put in a stretch's middle lands at most half its height from
  // where it belongs, which only a stretch of a good part of a band's rows
  // makes worth the spreading (a group of eight quads can span dozens).
  const double quarter_band = static_cast<double>(b.rows) / (4.0 * bands_here);
  b.spread_buckets = std::max<std::uint32_t>(
      16, static_cast<std::uint32_t>(quarter_band) >> b.shift);
  return b;
}

void check_task(const MeshView& mesh, const ClipBox& clip, std::uint64_t task,
                std::uint64_t tasks, std::atomic<bool>& all_finite, const RowBuckets& buckets,
                TaskRows* found, int lanes) noexcept {
  if (tasks == 0 || task >= tasks || mesh.width == 0 || mesh.colour_rows <= 0) return;
  const std::uint64_t quads = mesh.width * mesh.height;
  const std::uint64_t begin = chunk_bound(task, quads, tasks);
  const std::uint64_t end = chunk_bound(task + 1, quads, tasks);

  if (found != nullptr) {
    found->first_quad = begin;
    found->end_quad = end;
    found->complete = false;
    found->stretches.clear();
    if (buckets.count > 0 && end - begin <= std::uint64_t{UINT32_MAX}) {
      try {
        found->work.assign(buckets.count, 0.0);
        found->complete = true;
        if (!check_and_gather(mesh, clip, buckets, begin, end, *found, lanes))
          all_finite.store(false, std::memory_order_relaxed);
        return;
      } catch (...) {
        // Without them the fill walks the whole range in every band: same
        // image. The check starts over below.
        found->complete = false;
        std::vector<QuadStretch>().swap(found->stretches);
        std::vector<double>().swap(found->work);
      }
    }
  }
  if (begin == end || nodes_map_finite(mesh, begin, end)) return;

  const DeviceMap map = device_map(mesh.matrix);
  QuadCursor at = cursor_at(mesh, begin);
  F64x2 v[4];
  for (std::uint64_t i = begin; i < end; ++i) {
    if (device_vertices(mesh, map, at, v) == Vertices::not_finite) {
      all_finite.store(false, std::memory_order_relaxed);
      return;
    }
  }
}

void split_by_found_work(const std::vector<TaskRows>& found, const RowBuckets& buckets,
                         BandSplit& split) noexcept {
  split.starts.clear();
  if (split.bands < 2 || buckets.count == 0) return;
  std::vector<RowWork> runs;
  try {
    runs.resize(buckets.count);
  } catch (...) {
    return;  // equal bands
  }
  for (const TaskRows& task : found) {
    if (!task.complete) return;
    for (std::uint32_t k = 0; k < buckets.count; ++k) runs[k].per_row += task.work[k];
  }
  for (std::uint32_t k = 0; k < buckets.count; ++k) {
    const std::int64_t rows = std::min<std::int64_t>(bucket_begin(buckets, k + 1),
                                                     std::int64_t{buckets.first_row} + buckets.rows) -
                              bucket_begin(buckets, k);
    runs[k].rows = static_cast<std::int32_t>(rows);
    runs[k].per_row /= static_cast<double>(rows);
  }
  split_by_work(split, runs, std::int32_t{1} << buckets.shift);
}

void index_bands(const TaskRows& found, const RowBuckets& buckets, const BandSplit& split,
                 TaskBands& index) noexcept {
  index.first_quad = found.first_quad;
  index.end_quad = found.end_quad;
  index.complete = false;
  std::vector<std::vector<QuadRun>>().swap(index.by_band);
  if (!found.complete || split.bands == 0) return;
  // The bands of each bucket's first and last row: the same band when the
  // split is cut at bucket boundaries, as split_by_found_work cuts it.
  std::vector<std::uint32_t> first_band, last_band;
  try {
    index.by_band.resize(split.bands);
    first_band.resize(buckets.count);
    last_band.resize(buckets.count);
  } catch (...) {
    std::vector<std::vector<QuadRun>>().swap(index.by_band);
    return;
  }
  const std::int64_t end_row = std::int64_t{buckets.first_row} + buckets.rows;
  for (std::uint32_t k = 0; k < buckets.count; ++k) {
    const std::int64_t last_row = std::min(bucket_begin(buckets, k + 1), end_row) - 1;
    first_band[k] = static_cast<std::uint32_t>(
        band_of_row(split, static_cast<std::int32_t>(bucket_begin(buckets, k))));
    last_band[k] =
        static_cast<std::uint32_t>(band_of_row(split, static_cast<std::int32_t>(last_row)));
  }
  try {
    for (const QuadStretch& s : found.stretches) {
      if (s.first_bucket > s.last_bucket) continue;
      const std::uint32_t first = first_band[s.first_bucket], last = last_band[s.last_bucket];
      for (std::uint32_t b = first; b <= last; ++b) {
        // An empty band between two others holds no rows of the stretch.
        if (b != first && band_start(split, b) == band_start(split, b + 1)) continue;
        std::vector<QuadRun>& runs = index.by_band[b];
        if (!runs.empty() && runs.back().end == s.begin) {
          runs.back().end = s.end;
        } else {
          runs.push_back({s.begin, s.end});
        }
      }
    }
  } catch (...) {
    std::vector<std::vector<QuadRun>>().swap(index.by_band);
    return;
  }
  index.complete = true;
}

}  // namespace quadlite
