// The render job: the clip box, then the grid check or the quad path's check
// pass, the decision, the split of the rows into bands of even work, and the
// fill pass of whichever path was taken. Also the face alpha check, which
// the intake runs on the pool before it takes the target.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <new>
#include <vector>

#include "pool/worker_pool.hpp"
#include "render/bands.hpp"
#include "render/face_alphas.hpp"
#include "render/grid/grid_bands.hpp"
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
// calling thread: handing a pass to the pool wakes workers (microseconds
// each, more on a busy machine), which a small job never earns back.
constexpr std::uint64_t kPoolWorthwhile = 16384;

// Runs the job's passes, each in at most `shares` tasks handed to
// `run(count, body)`, which calls body(k) for every k in [0, count) (on the
// pool, or one after another), with the clip box already taken:
// true when drawn, false (nothing written) when a quad that would be drawn
// has a non-finite device vertex. render_job below is its one caller in the
// module; the benchmarks time the tasks through `run`.
//
// The check pass stores no quads: it settles the all-or-nothing decision
// and, when there are several bands, finds which rows stretches of
// consecutive quads reach and the fill work of each row. The rows are then
// cut into bands of even work (on a grid, by the work its axes imply), and
// a short pass indexes which stretches reach which band. Each band then
// prepares its own quads as it fills them, which costs less than writing
// and reading back a record per quad.
template <class Unlocked, class Run>
bool render_passes(const RenderInputs& in, const ClipBox& clip, std::uint64_t shares,
                   Unlocked&& unlocked, Run&& run) {
  const std::uint64_t quads = in.mesh.width * in.mesh.height;
  const std::int32_t rows = static_cast<std::int32_t>(
      std::max<std::int64_t>(0, std::int64_t{clip.y1} - clip.y0));
  // Never more tasks than shares: each gets one contiguous share.
  const std::uint64_t check_tasks = std::min(shares, quads);
  const std::uint64_t bands = std::min(shares, static_cast<std::uint64_t>(rows));
  BandSplit split{clip.y0, rows, bands};
  const RowBuckets buckets = row_buckets(clip.y0, rows, bands);

  // One band needs no index; without memory for one, every band walks the mesh.
  std::vector<TaskRows> found;
  std::vector<TaskBands> index;
  if (bands > 1) {
    try {
      found.resize(check_tasks);
      index.resize(check_tasks);
    } catch (const std::bad_alloc&) {
      found.clear();
      index.clear();
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
      check_task(in.mesh, clip, task, check_tasks, all_finite, buckets,
                 found.empty() ? nullptr : &found[task]);
    });
  });
  if (!all_finite.load(std::memory_order_relaxed)) return false;

  unlocked([&] {
    if (on_grid) {
      split_grid_rows(grid, split);
    } else if (!found.empty()) {
      split_by_found_work(found, buckets, split);
      run(check_tasks, [&](std::uint64_t task) {
        index_bands(found[task], buckets, split, index[task]);
        found[task] = TaskRows();  // freed by the task rather than the caller
      });
    }
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

// Draws the mesh into the target: true when drawn, false (nothing written)
// when a quad that would be drawn has a non-finite device vertex.
// `unlocked(body)` runs body without whatever the caller must not hold while
// the passes run (from Python: the interpreter lock). `pool` defaults to the
// process-wide one; tests pass pools of other sizes, and a `pool_from` of 0
// to put even the smallest job on the pool.
template <class Unlocked>
bool render_job(const RenderInputs& in, Unlocked&& unlocked, WorkerPool* pool = nullptr,
                std::uint64_t pool_from = kPoolWorthwhile) {
  WorkerPool& workers = pool != nullptr ? *pool : WorkerPool::instance();
  const ClipBox clip = clip_box_from_extents(in.extents, in.target.width, in.target.height);

  const std::uint64_t quads = in.mesh.width * in.mesh.height;
  const auto rows =
      static_cast<std::uint64_t>(std::max<std::int64_t>(0, std::int64_t{clip.y1} - clip.y0));
  const auto columns =
      static_cast<std::uint64_t>(std::max<std::int64_t>(0, std::int64_t{clip.x1} - clip.x0));
  const std::uint64_t pixel_work = columns * rows / 16;
  // One worker gains nothing from the pool either: the caller would only wait.
  const bool on_pool = workers.thread_count() > 1 &&
                       (quads >= pool_from || pixel_work >= pool_from - quads);
  const std::uint64_t shares = on_pool ? workers.thread_count() : 1;
  const auto run = [&](std::uint64_t count, auto&& body) {
    if (on_pool) {
      workers.parallel_for(count, body);
    } else {
      for (std::uint64_t k = 0; k < count; ++k) body(k);
    }
  };
  return render_passes(in, clip, shares, unlocked, run);
}

// The face alpha check of the eligibility chain (face_alphas.hpp) over the
// N colour rows, in at most `shares` tasks handed to `run` as render_passes
// hands its passes; each task packs its rows into `packed` when given.
template <class Run>
bool alpha_pass(const double* colours, std::uint64_t colour_rows, std::uint64_t shares,
                Run&& run, std::uint32_t* packed = nullptr) {
  const std::uint64_t tasks = std::min(shares, colour_rows);
  std::atomic<bool> binary{true};
  run(tasks, [&](std::uint64_t task) {
    if (!alphas_binary(colours, chunk_bound(task, colour_rows, tasks),
                       chunk_bound(task + 1, colour_rows, tasks), packed))
      binary.store(false, std::memory_order_relaxed);
  });
  return binary.load(std::memory_order_relaxed);
}

// Whether every face alpha lies within the tolerance of 0 or of 1. A few
// rows are read in place; from `pool_from` rows on, the rows are read with
// `unlocked` as the job's passes are, on the pool when it has several
// workers. It runs before the job takes the target, so that a call with
// other alphas is declined before the buffer is requested. The answer is
// the same whatever runs it: if the pool cannot be had or fails to take the
// work, the calling thread reads the rows itself, and any such failure
// shows, as before, when the job asks for the pool. Where `packed` is given
// (room for the N rows), every row's face_colour is written there on the
// way when the answer is true, for MeshView::packed.
template <class Unlocked>
bool face_alphas_binary(const double* colours, std::uint64_t colour_rows, Unlocked&& unlocked,
                        WorkerPool* pool = nullptr, std::uint64_t pool_from = kPoolWorthwhile,
                        std::uint32_t* packed = nullptr) {
  // Stepping out of the lock would cost more than reading a few rows.
  if (colour_rows < pool_from) return alphas_binary(colours, 0, colour_rows, packed);
  bool binary = true;
  unlocked([&] {
    try {
      WorkerPool& workers = pool != nullptr ? *pool : WorkerPool::instance();
      if (workers.thread_count() > 1) {
        binary = alpha_pass(
            colours, colour_rows, workers.thread_count(),
            [&](std::uint64_t count, auto&& body) { workers.parallel_for(count, body); }, packed);
        return;
      }
    } catch (const std::exception&) {
      // Read them here.
    }
    binary = alphas_binary(colours, 0, colour_rows, packed);
  });
  return binary;
}

}  // namespace quadlite
