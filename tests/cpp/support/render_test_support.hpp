// Meshes, guarded targets and a two-pass driver for the render tests.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "reference/reference_passes.hpp"
#include "render/quads/check_pass.hpp"
#include "render/quads/fill_pass.hpp"
#include "render/render_types.hpp"

namespace quadlite {
namespace testing_support {

// Seeded random choices, shared by the scene and quad generators.
class RandomPicks {
 public:
  explicit RandomPicks(std::uint64_t seed) : rng_(seed) {}
  int integer(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  double real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
  bool chance(double p) { return real(0, 1) < p; }

  // The whole target, an arbitrary box (often empty, never normalised) with
  // chance `arbitrary`, or a box around the middle.
  ClipBox clip_box(std::int32_t width, std::int32_t height, double arbitrary) {
    if (chance(0.4)) return {0, width, 0, height};
    if (chance(arbitrary)) return {integer(0, width), integer(0, width), integer(0, height),
                                   integer(0, height)};
    return {integer(0, width / 2), integer((width + 1) / 2, width), integer(0, height / 2),
            integer((height + 1) / 2, height)};
  }

 private:
  std::mt19937_64 rng_;
};

// A W x H mesh with its own node, colour and matrix storage.
struct TestMesh {
  std::uint64_t w = 0, h = 0;
  std::vector<double> coords;   // (h+1) x (w+1) x 2
  std::vector<double> colours;  // N x 4
  double matrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

  TestMesh(std::uint64_t width, std::uint64_t height)
      : w(width), h(height), coords(2 * (width + 1) * (height + 1), 0.0) {}

  double* node(std::uint64_t r, std::uint64_t c) { return &coords[2 * (r * (w + 1) + c)]; }
  void set_node(std::uint64_t r, std::uint64_t c, double x, double y) {
    node(r, c)[0] = x;
    node(r, c)[1] = y;
  }
  void add_colour(double r, double g, double b, double a) {
    for (double v : {r, g, b, a}) colours.push_back(v);
  }
  MeshView view() const {
    MeshView v;
    v.width = w;
    v.height = h;
    v.coords = coords.data();
    v.colours = colours.data();
    v.colour_rows = static_cast<std::int64_t>(colours.size() / 4);
    v.matrix = matrix;
    return v;
  }
};

// A 1 x 1 mesh whose identity-mapped vertices P0..P3 are the given points
// (P0 = node(0,0), P1 = node(1,0), P2 = node(1,1), P3 = node(0,1)).
inline TestMesh single_quad(const Point (&p)[4], double r = 1, double g = 0.5,
                            double b = 0) {
  TestMesh m(1, 1);
  m.set_node(0, 0, p[0].x, p[0].y);
  m.set_node(1, 0, p[1].x, p[1].y);
  m.set_node(1, 1, p[2].x, p[2].y);
  m.set_node(0, 1, p[3].x, p[3].y);
  m.add_colour(r, g, b, 1);
  return m;
}

// An RGBA8 target inside a larger block, so that stray writes land in guard
// bytes. Rows may be padded or run backwards (negative row stride), and
// pixels may be spaced wider than four bytes.
class GuardedTarget {
 public:
  static constexpr std::uint8_t kFill = 0xA5;
  static constexpr std::int64_t kGuard = 64;

  GuardedTarget(std::int32_t width, std::int32_t height, std::int64_t row_pad = 0,
                bool rows_reversed = false, std::int64_t col_stride = 4)
      : width_(width), height_(height) {
    const std::int64_t row_bytes = (width - 1) * col_stride + 4 + row_pad;
    storage_.assign(static_cast<std::size_t>(2 * kGuard + row_bytes * height), kFill);
    std::uint8_t* first = storage_.data() + kGuard;
    image_.height = height;
    image_.width = width;
    image_.col_stride = col_stride;
    if (rows_reversed) {
      image_.row_stride = -row_bytes;
      image_.data = first + row_bytes * (height - 1);
    } else {
      image_.row_stride = row_bytes;
      image_.data = first;
    }
    pristine_ = storage_;
  }

  const TargetImage& image() const { return image_; }
  std::int32_t width() const { return width_; }
  std::int32_t height() const { return height_; }

  // The four bytes of device pixel (x, y) as a packed colour.
  std::uint32_t pixel(std::int32_t x, std::int32_t y) const {
    std::uint32_t v;
    std::memcpy(&v, address(x, y), 4);
    return v;
  }
  void set_pixel(std::int32_t x, std::int32_t y, std::uint32_t colour) {
    std::memcpy(address(x, y), &colour, 4);
  }

  // Device pixels' bytes in device order, for whole-image comparisons.
  std::vector<std::uint32_t> pixels() const {
    std::vector<std::uint32_t> out;
    for (std::int32_t y = 0; y < height_; ++y)
      for (std::int32_t x = 0; x < width_; ++x) out.push_back(pixel(x, y));
    return out;
  }

  // Whether every byte that belongs to no pixel is as it was made.
  bool untouched_outside_pixels() const {
    std::vector<bool> is_pixel(storage_.size(), false);
    for (std::int32_t y = 0; y < height_; ++y)
      for (std::int32_t x = 0; x < width_; ++x)
        for (int c = 0; c < 4; ++c)
          is_pixel[static_cast<std::size_t>(address(x, y) - storage_.data()) + c] = true;
    for (std::size_t k = 0; k < storage_.size(); ++k)
      if (!is_pixel[k] && storage_[k] != pristine_[k]) return false;
    return true;
  }

  static std::uint32_t fill_colour() { return pack_rgba(kFill, kFill, kFill, kFill); }

 private:
  std::uint8_t* address(std::int32_t x, std::int32_t y) const {
    return image_.data + (static_cast<std::int64_t>(height_) - 1 - y) * image_.row_stride +
           static_cast<std::int64_t>(x) * image_.col_stride;
  }

  std::int32_t width_, height_;
  std::vector<std::uint8_t> storage_;
  std::vector<std::uint8_t> pristine_;
  TargetImage image_;
};

// Runs the prepare pass over `tasks` tasks into fresh lists.
inline std::vector<QuadList> prepare_all(const TestMesh& mesh, const ClipBox& clip,
                                         std::uint64_t tasks, bool* all_finite) {
  std::vector<QuadList> lists(tasks);
  std::atomic<bool> finite{true};
  const MeshView view = mesh.view();
  for (std::uint64_t k = 0; k < tasks; ++k) prepare_task(view, clip, k, tasks, lists[k], finite);
  *all_finite = finite.load();
  return lists;
}

// Runs every band of the fill pass over the clip box's rows.
inline void fill_all(const std::vector<QuadList>& lists, const ClipBox& clip,
                     std::uint64_t bands, const TargetImage& target) {
  const std::int64_t rows64 = static_cast<std::int64_t>(clip.y1) - clip.y0;
  const std::int32_t rows = rows64 > 0 ? static_cast<std::int32_t>(rows64) : 0;
  for (std::uint64_t a = 0; a < bands; ++a) fill_records_band(lists, clip.y0, rows, a, bands, target);
}

// Both passes as the render job runs them; false when it would decline.
inline bool draw(const TestMesh& mesh, const ClipBox& clip, std::uint64_t tasks,
                 std::uint64_t bands, const TargetImage& target) {
  bool finite = true;
  const std::vector<QuadList> lists = prepare_all(mesh, clip, tasks, &finite);
  if (!finite) return false;
  fill_all(lists, clip, bands, target);
  return true;
}

// The check pass over `tasks` tasks as the render job runs it and, when
// `split` has several bands, the index for that split (any split: equal, or
// cut at any rows). False when the job would decline.
inline bool check_and_index(const MeshView& mesh, const ClipBox& clip, std::uint64_t tasks,
                            const BandSplit& split, std::vector<TaskBands>& index) {
  const std::int64_t rows = std::max<std::int64_t>(0, std::int64_t{clip.y1} - clip.y0);
  const RowBuckets buckets = row_buckets(clip.y0, static_cast<std::int32_t>(rows), split.bands);
  std::vector<TaskRows> found(split.bands > 1 ? tasks : 0);
  std::atomic<bool> finite{true};
  for (std::uint64_t t = 0; t < tasks; ++t)
    check_task(mesh, clip, t, tasks, finite, buckets, found.empty() ? nullptr : &found[t]);
  index.assign(found.size(), TaskBands{});
  if (!finite.load()) return false;
  for (std::size_t t = 0; t < found.size(); ++t) index_bands(found[t], buckets, split, index[t]);
  return true;
}

inline ClipBox whole(const GuardedTarget& t) { return ClipBox{0, t.width(), 0, t.height()}; }

}  // namespace testing_support
}  // namespace quadlite
