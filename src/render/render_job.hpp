// The render job: the clip box, then the grid check or the quad path's check
// pass, the decision, and the fill pass of whichever path was taken.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "pool/worker_pool.hpp"
#include "render/bands.hpp"
#include "render/grid/grid_check.hpp"
#include "render/grid/grid_fill.hpp"
#include "render/mesh.hpp"
#include "render/quads/check_pass.hpp"
#include "render/quads/fill_pass.hpp"
#include "render/render_types.hpp"

namespace quadlite {

struct RenderInputs {
  MeshView mesh;
  double extents[4] = {0, 0, 0, 0};  // x0, y0, x1, y1 in device pixels
  TargetImage target;
};

// The writable rectangle: the extents rounded outwards, inside the image.
// NaN or huge extents saturate (see pixel_bound) rather than wrap.
inline ClipBox clip_box_from_extents(const double extents[4], std::int32_t width,
                                     std::int32_t height) {
  ClipBox clip;
  clip.x0 = std::max<std::int32_t>(0, lower_bound_px(extents[0]));
  clip.y0 = std::max<std::int32_t>(0, lower_bound_px(extents[1]));
  clip.x1 = std::min<std::int32_t>(upper_bound_px(extents[2]), width);
  clip.y1 = std::min<std::int32_t>(upper_bound_px(extents[3]), height);
  return clip;
}

// Work, in quads plus clip pixels / 16, below which the passes run on the
// calling thread: handing a pass to the pool costs two thread wake-ups
// (tens of microseconds, more on a busy machine), which a small job never
// earns back.
constexpr std::uint64_t kPoolWorthwhile = 16384;

// Draws the mesh into the target: true when drawn, false (nothing written)
// when a quad that would be drawn has a non-finite device vertex.
// `unlocked(body)` runs body without whatever the caller must not hold while
// the passes run (from Python: the interpreter lock). `pool` defaults to the
// process-wide one; tests pass pools of other sizes, and a `pool_from` of 0
// to put even the smallest job on the pool.
//
// The check pass stores no quads: it settles the all-or-nothing decision
// and, when there are several bands, indexes which quads reach which band.
// Each band then prepares its own quads as it fills them, which costs less
// than writing and reading back a record per quad.
template <class Unlocked>
bool render_job(const RenderInputs& in, Unlocked&& unlocked, WorkerPool* pool = nullptr,
                std::uint64_t pool_from = kPoolWorthwhile) {
  WorkerPool& workers = pool != nullptr ? *pool : WorkerPool::instance();
  const ClipBox clip = clip_box_from_extents(in.extents, in.target.width, in.target.height);

  const std::uint64_t quads = in.mesh.width * in.mesh.height;
  const std::int32_t rows = static_cast<std::int32_t>(
      std::max<std::int64_t>(0, std::int64_t{clip.y1} - clip.y0));
  const auto columns =
      static_cast<std::uint64_t>(std::max<std::int64_t>(0, std::int64_t{clip.x1} - clip.x0));
  const std::uint64_t pixel_work = columns * static_cast<std::uint64_t>(rows) / 16;
  // One worker gains nothing from the pool either: the caller would only wait.
  const bool on_pool = workers.thread_count() > 1 &&
                       (quads >= pool_from || pixel_work >= pool_from - quads);
  const std::uint64_t shares = on_pool ? workers.thread_count() : 1;
  // Never more tasks than workers: each gets one contiguous share.
  const std::uint64_t check_tasks = std::min(shares, quads);
  const std::uint64_t bands = std::min(shares, static_cast<std::uint64_t>(rows));
  const BandSplit split{clip.y0, rows, bands};
  const auto run = [&](std::uint64_t count, auto&& body) {
    if (on_pool) {
      workers.parallel_for(count, body);
    } else {
      for (std::uint64_t k = 0; k < count; ++k) body(k);
    }
  };

  // One band needs no index; without memory for one, every band walks the mesh.
  std::vector<TaskBands> index;
  if (bands > 1) {
    try {
      index.resize(check_tasks);
    } catch (const std::bad_alloc&) {
    }
  }
  // A mesh on an exact grid with finite nodes is drawn from its axes.
  GridMesh grid;
  std::vector<BandRow> band_rows;  // the grid fill's scratch, one per band
  bool on_grid = false;
  std::atomic<bool> all_finite{true};
  unlocked([&] {
    on_grid = take_grid(in.mesh, clip, check_tasks, run, grid) &&
              make_band_rows(grid, bands, band_rows);
    if (on_grid) return;
    run(check_tasks, [&](std::uint64_t task) {
      check_and_index(in.mesh, clip, task, check_tasks, all_finite, split,
                      index.empty() ? nullptr : &index[task]);
    });
  });
  if (!all_finite.load(std::memory_order_relaxed)) return false;

  unlocked([&] {
    run(bands, [&](std::uint64_t band) {
      if (on_grid) {
        fill_grid_band(grid, in.mesh, split, band, band_rows[band], in.target);
      } else {
        fill_band(in.mesh, clip, index, split, band, in.target);
      }
    });
  });
  return true;
}

}  // namespace quadlite
