// The check pass, the split of the rows by the work it found, and the band
// index.
#include "render/quads/check_pass.hpp"

#include <algorithm>
#include <cmath>
#include <new>

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

// What the fill of a band spends on a quad, roughly, in nanoseconds on a
// current x86-64 core (fitted to the bands of meshes of many kinds): its
// preparation, and then, for a box at most 8 columns wide (filled pixel by
// pixel, four columns to a vector), each row of four columns; for a wider
// one (filled as spans), each row. Only the ratios matter: they weigh rows
// against each other.
constexpr double kQuadWork = 21;
constexpr double kNarrowRowWork = 6.3;   // per row and four columns
constexpr double kSpanRowWork = 18.3;
constexpr std::int64_t kNarrowColumns = 8;

std::int64_t bucket_begin(const RowBuckets& b, std::uint32_t k) {
  return std::int64_t{b.first_row} + (std::int64_t{k} << b.shift);
}

std::uint32_t bucket_of(const RowBuckets& b, std::int32_t row) {
  return static_cast<std::uint32_t>((std::int64_t{row} - b.first_row) >> b.shift);
}

// Adds the fill work of a quad with box `box` to the buckets it reaches.
void add_work(const RowBuckets& b, const PreparedQuad& box, std::uint32_t first,
              std::uint32_t last, double* work) {
  const std::int64_t width = std::int64_t{box.x1} - box.x0;
  const double per_row = width <= kNarrowColumns / 2 ? kNarrowRowWork
                        : width <= kNarrowColumns   ? 2 * kNarrowRowWork
                                                    : kSpanRowWork;
  // A quad over a few buckets counts in its middle one: the bands are far
  // taller than it, and one add per quad keeps the check pass quick.
  if (last - first < 4) {
    work[(first + last) / 2] += kQuadWork + per_row * static_cast<double>(std::int64_t{box.y1} - box.y0);
    return;
  }
  work[first] += kQuadWork;
  for (std::uint32_t k = first; k <= last; ++k) {
    const std::int64_t lo = std::max<std::int64_t>(box.y0, bucket_begin(b, k));
    const std::int64_t hi = std::min<std::int64_t>(box.y1, bucket_begin(b, k + 1));
    work[k] += per_row * static_cast<double>(hi - lo);
  }
}

// Whether quad `quad` is transparent.
bool quad_transparent(const MeshView& mesh, std::uint64_t quad) {
  return transparent(mesh.colours + 4 * (quad % static_cast<std::uint64_t>(mesh.colour_rows)));
}

// The check of the quads [begin, end) that also records what they reach:
// every quad with finite vertices is recorded, transparent or not (the fill
// passes over a transparent one quickly), so that the colours are read only
// where a vertex is not finite. Returns false at the first quad that then
// turns out not to be transparent.
bool check_and_record(const MeshView& mesh, const ClipBox& clip, const RowBuckets& buckets,
                      std::uint64_t begin, std::uint64_t end, std::uint32_t* reach,
                      double* work) {
  const DeviceMap map = device_map(mesh.matrix);
  const std::uint64_t nodes = mesh.width + 1;
  PreparedQuad box;
  for (std::uint64_t i = begin; i < end;) {
    // Mesh row r, columns [c, stop): nodes (r, c..stop) above, (r + 1, ...) below.
    const std::uint64_t r = i / mesh.width;
    std::uint64_t c = i % mesh.width;
    const std::uint64_t stop = std::min(mesh.width, c + (end - i));
    const double* above = mesh.coords + 2 * (r * nodes + c);
    const double* below = above + 2 * nodes;
    // The quad's left pair of vertices is the right pair of the quad before:
    // mapped, tested and bounded once.
    F64x2 left_a = map_node(map, above), left_b = map_node(map, below);
    bool left_finite = finite_points(left_a, left_b);
    F64x2 left_least = left_a < left_b ? left_a : left_b;
    F64x2 left_greatest = left_a > left_b ? left_a : left_b;
    for (; c < stop; ++c, ++i, above += 2, below += 2) {
      const F64x2 right_a = map_node(map, above + 2), right_b = map_node(map, below + 2);
      const bool right_finite = finite_points(right_a, right_b);
      const F64x2 right_least = right_a < right_b ? right_a : right_b;
      const F64x2 right_greatest = right_a > right_b ? right_a : right_b;
      if (!(left_finite && right_finite)) {
        if (!quad_transparent(mesh, i)) return false;
        reach[i - begin] = kReachesNoRow;
      } else if (!clipped_box(left_least < right_least ? left_least : right_least,
                              left_greatest > right_greatest ? left_greatest : right_greatest,
                              clip, box)) {
        reach[i - begin] = kReachesNoRow;
      } else {
        const std::uint32_t first = bucket_of(buckets, box.y0);
        const std::uint32_t last = bucket_of(buckets, box.y1 - 1);
        reach[i - begin] = first | last << 16;
        add_work(buckets, box, first, last, work);
      }
      left_finite = right_finite;
      left_least = right_least;
      left_greatest = right_greatest;
    }
  }
  return true;
}

}  // namespace

RowBuckets row_buckets(std::int32_t first_row, std::int32_t rows) {
  RowBuckets b;
  b.first_row = first_row;
  b.rows = std::max(rows, 0);
  while ((std::int64_t{b.rows} >> b.shift) >= std::int64_t{kMaxRowBuckets}) ++b.shift;
  b.count = b.rows == 0 ? 0 : static_cast<std::uint32_t>(((std::int64_t{b.rows} - 1) >> b.shift) + 1);
  return b;
}

void check_task(const MeshView& mesh, const ClipBox& clip, std::uint64_t task,
                std::uint64_t tasks, std::atomic<bool>& all_finite, const RowBuckets& buckets,
                TaskRows* found) noexcept {
  if (tasks == 0 || task >= tasks || mesh.width == 0 || mesh.colour_rows <= 0) return;
  const std::uint64_t quads = mesh.width * mesh.height;
  const std::uint64_t begin = chunk_bound(task, quads, tasks);
  const std::uint64_t end = chunk_bound(task + 1, quads, tasks);

  std::uint32_t* reach = nullptr;
  double* work = nullptr;
  if (found != nullptr) {
    found->first_quad = begin;
    found->end_quad = end;
    found->complete = false;
    if (buckets.count > 0 && end - begin <= std::uint64_t{UINT32_MAX} + 1) {
      try {
        found->work.assign(buckets.count, 0.0);
        found->reach.reset(new std::uint32_t[end - begin]);
        reach = found->reach.get();
        work = found->work.data();
        found->complete = true;
      } catch (...) {
        // Without them the fill walks the whole range in every band: same image.
        found->reach.reset();
        std::vector<double>().swap(found->work);
      }
    }
  }
  if (begin == end) return;
  if (reach != nullptr) {
    if (!check_and_record(mesh, clip, buckets, begin, end, reach, work))
      all_finite.store(false, std::memory_order_relaxed);
    return;
  }
  if (nodes_map_finite(mesh, begin, end)) return;

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
  std::vector<std::vector<std::uint32_t>>().swap(index.by_band);
  if (!found.complete || split.bands == 0) return;
  // The bands of each bucket's first and last row: the same band when the
  // split is cut at bucket boundaries, as split_by_found_work cuts it.
  std::vector<std::uint32_t> first_band, last_band;
  try {
    index.by_band.resize(split.bands);
    first_band.resize(buckets.count);
    last_band.resize(buckets.count);
  } catch (...) {
    std::vector<std::vector<std::uint32_t>>().swap(index.by_band);
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
  const std::uint32_t* reach = found.reach.get();
  const std::uint64_t count = found.end_quad - found.first_quad;
  try {
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint32_t r = reach[i];
      if (r == kReachesNoRow) continue;
      const std::uint32_t first = first_band[r & 0xFFFFu], last = last_band[r >> 16];
      for (std::uint32_t b = first; b <= last; ++b) {
        // An empty band between two others holds no rows of the quad.
        if (b == first || band_start(split, b) < band_start(split, b + 1))
          index.by_band[b].push_back(static_cast<std::uint32_t>(i));
      }
    }
  } catch (...) {
    std::vector<std::vector<std::uint32_t>>().swap(index.by_band);
    return;
  }
  index.complete = true;
}

}  // namespace quadlite
