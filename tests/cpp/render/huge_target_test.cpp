// Targets of 2^31 - 1 rows or columns: every fill path with the clip box at
// either end, so that row and column arithmetic near the 32-bit limit is
// exercised where it could wrap.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pool/worker_pool.hpp"
#include "reference/reference_passes.hpp"
#include "render/quads/fill_pass.hpp"
#include "render/render_job.hpp"

namespace quadlite {
namespace {

constexpr std::int32_t kMax = INT32_MAX;

// An RGBA8 target in an anonymous private mapping that reserves nothing:
// only the pages the fill touches (and the few the test reads) cost memory.
class MappedTarget {
 public:
  MappedTarget(std::int32_t width, std::int32_t height)
      : bytes_(std::int64_t{width} * height * 4) {
    void* p = mmap(nullptr, static_cast<std::size_t>(bytes_), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED) base_ = static_cast<std::uint8_t*>(p);
    image_.data = base_;
    image_.height = height;
    image_.width = width;
    image_.row_stride = std::int64_t{width} * 4;
    image_.col_stride = 4;
  }
  ~MappedTarget() {
    if (base_ != nullptr) munmap(base_, static_cast<std::size_t>(bytes_));
  }
  MappedTarget(const MappedTarget&) = delete;
  MappedTarget& operator=(const MappedTarget&) = delete;

  bool mapped() const { return base_ != nullptr; }
  const TargetImage& image() const { return image_; }

  // Device pixel (x, y); device row y is buffer row height - 1 - y.
  std::uint32_t pixel(std::int64_t x, std::int64_t y) const {
    std::uint32_t v;
    std::memcpy(&v, base_ + (image_.height - 1 - y) * image_.row_stride + x * 4, 4);
    return v;
  }

 private:
  std::int64_t bytes_;
  std::uint8_t* base_ = nullptr;
  TargetImage image_;
};

struct HugeCase {
  const char* name;
  std::int32_t width, height;
  Point p[4];         // P0..P3 in device pixels
  double extents[4];  // clip x0, y0, x1, y1
  int narrow_lanes;   // also fill the quad directly at this width (0: no)
};

// The quad as the fill receives it, boxed by the clip.
PreparedQuad prepared(const HugeCase& c, const ClipBox& clip, std::uint32_t colour) {
  PreparedQuad q;
  double lo_x = c.p[0].x, hi_x = lo_x, lo_y = c.p[0].y, hi_y = lo_y;
  for (int k = 0; k < 4; ++k) {
    q.p[k] = c.p[k];
    lo_x = std::min(lo_x, c.p[k].x);
    hi_x = std::max(hi_x, c.p[k].x);
    lo_y = std::min(lo_y, c.p[k].y);
    hi_y = std::max(hi_y, c.p[k].y);
  }
  q.colour = colour;
  q.x0 = std::max(clip.x0, lower_bound_px(lo_x));
  q.x1 = std::min(clip.x1, upper_bound_px(hi_x));
  q.y0 = std::max(clip.y0, lower_bound_px(lo_y));
  q.y1 = std::min(clip.y1, upper_bound_px(hi_y));
  return q;
}

// Whether the quad, boxed by its vertices and the clip, covers pixel (x, y).
bool expected_cover(const HugeCase& c, const ClipBox& clip, std::int64_t x, std::int64_t y) {
  const PreparedQuad q = prepared(c, clip, 0);
  if (x < q.x0 || x >= q.x1 || y < q.y0 || y >= q.y1) return false;
  return covers(c.p, static_cast<double>(x) + 0.5, static_cast<double>(y) + 0.5);
}

constexpr double kTop = 2147483647.0;  // device y (or x) of the far image edge
constexpr std::int32_t kTallWidth = 72;
constexpr std::int32_t kWideHeight = 4;

const HugeCase kCases[] = {
    // Tall target: 2^31 - 1 rows, clip at the top rows (the start of the buffer).
    {"tall/top/column", kTallWidth, kMax,
     {{3.1, kTop - 30}, {3.2, kTop + 40}, {3.9, kTop + 41}, {3.8, kTop - 29}},
     {0, kTop - 5, kTallWidth, kTop}, 0},
    {"tall/top/narrow-pairs", kTallWidth, kMax,
     {{1.2, kTop - 40}, {1.7, kTop + 30}, {3.9, kTop + 31}, {3.3, kTop - 39}},
     {0, kTop - 5, kTallWidth, kTop}, 2},
    {"tall/top/narrow-quads", kTallWidth, kMax,
     {{1.2, kTop - 40}, {1.7, kTop + 30}, {7.9, kTop + 31}, {7.3, kTop - 39}},
     {0, kTop - 7, kTallWidth, kTop}, 4},
    {"tall/top/span", kTallWidth, kMax,
     {{2.2, kTop - 50}, {9.7, kTop + 30}, {40.9, kTop + 25}, {33.3, kTop - 55}},
     {0, kTop - 9, kTallWidth, kTop}, 0},
    {"tall/top/streamed", kTallWidth, kMax,
     {{-3.5, kTop - 50}, {-2.5, kTop + 30}, {75.5, kTop + 31}, {74.5, kTop - 49}},
     {0, kTop - 11, kTallWidth, kTop}, 0},
    // The same at the bottom rows (the end of the buffer).
    {"tall/bottom/narrow-quads", kTallWidth, kMax,
     {{1.2, -40}, {1.7, 30}, {7.9, 31}, {7.3, -39}}, {0, 0, kTallWidth, 9}, 4},
    {"tall/bottom/streamed", kTallWidth, kMax,
     {{-3.5, -50}, {-2.5, 30}, {75.5, 31}, {74.5, -49}}, {0, 0, kTallWidth, 10}, 0},
    // Wide target: 2^31 - 1 columns, clip at the far right.
    {"wide/right/column", kMax, kWideHeight,
     {{kTop - 1.9, -1}, {kTop - 1.8, 5}, {kTop - 1.1, 5.5}, {kTop - 1.2, -0.5}},
     {kTop - 20, 0, kTop, kWideHeight}, 0},
    {"wide/right/narrow-pairs", kMax, kWideHeight,
     {{kTop - 3.7, -1}, {kTop - 3.2, 5}, {kTop - 0.2, 5.5}, {kTop - 0.8, -0.5}},
     {kTop - 20, 0, kTop, kWideHeight}, 2},
    {"wide/right/narrow-quads", kMax, kWideHeight,
     {{kTop - 7.7, -1}, {kTop - 7.2, 5}, {kTop + 0.3, 5.5}, {kTop - 0.8, -0.5}},
     {kTop - 20, 0, kTop, kWideHeight}, 4},
    {"wide/right/span", kMax, kWideHeight,
     {{kTop - 40.5, -1}, {kTop - 30.2, 5}, {kTop + 10.3, 4.5}, {kTop - 1.8, -0.5}},
     {kTop - 50, 0, kTop, kWideHeight}, 0},
    {"wide/right/streamed", kMax, kWideHeight,
     {{kTop - 300.5, -1}, {kTop - 299.2, 5}, {kTop + 10.3, 5.5}, {kTop + 9.8, -0.5}},
     {kTop - 200, 0, kTop, kWideHeight}, 0},
    {"wide/left/streamed", kMax, kWideHeight,
     {{-10.5, -1}, {-9.2, 5}, {300.3, 5.5}, {299.8, -0.5}}, {0, 0, 200, kWideHeight}, 0},
    // Axis-aligned cells: a grid, drawn from its axes.
    {"tall/top/grid", kTallWidth, kMax,
     {{2.5, kTop - 30.5}, {2.5, kTop + 7}, {40.25, kTop + 7}, {40.25, kTop - 30.5}},
     {1, kTop - 12, 37, kTop}, 0},
    {"wide/right/grid", kMax, kWideHeight,
     {{kTop - 40.5, -1}, {kTop - 40.5, 3.5}, {kTop + 7, 3.5}, {kTop + 7, -1}},
     {kTop - 30, 1, kTop, kWideHeight}, 0},
};

// Columns and rows beyond the clip box that are checked to be untouched.
constexpr std::int64_t kMargin = 6;

// Draws each case through the render job (and, for narrow boxes, straight
// through the fill at the given vector width) and checks every pixel of the
// clip box and of a margin around it inside the image.
TEST(HugeTarget, EveryFillPathAtBothEnds) {
  WorkerPool pool(1);
  for (const HugeCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::int32_t height = c.height, width = c.width;
    const ClipBox clip = clip_box_from_extents(c.extents, width, height);
    ASSERT_LT(clip.x0, clip.x1);
    ASSERT_LT(clip.y0, clip.y1);
    const std::uint32_t colour = pack_rgba(200, 100, 50, 255);

    std::vector<int> lanes_tried = {0};  // 0: the render job
    if (c.narrow_lanes == 2) lanes_tried.push_back(2);
    if (c.narrow_lanes == 4) {
      lanes_tried.push_back(2);
      if (widest_lanes() >= 4) lanes_tried.push_back(4);
    }
    for (const int lanes : lanes_tried) {
      SCOPED_TRACE("lanes " + std::to_string(lanes));
      MappedTarget target(width, height);
      ASSERT_TRUE(target.mapped());
      if (lanes == 0) {
        const double coords[8] = {c.p[0].x, c.p[0].y, c.p[3].x, c.p[3].y,
                                  c.p[1].x, c.p[1].y, c.p[2].x, c.p[2].y};
        const double colours[4] = {200 / 255.0, 100 / 255.0, 50 / 255.0, 1.0};
        const double matrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        RenderInputs in;
        in.mesh = MeshView{1, 1, coords, colours, 1, matrix};
        for (int k = 0; k < 4; ++k) in.extents[k] = c.extents[k];
        in.target = target.image();
        ASSERT_TRUE(render_job(in, [](auto&& body) { body(); }, &pool));
      } else {
        const PreparedQuad q = prepared(c, clip, colour);
        fill_quad(q, q.y0, q.y1, target.image(), lanes);
      }

      const std::int64_t y_lo = std::max<std::int64_t>(0, std::int64_t{clip.y0} - kMargin);
      const std::int64_t y_hi = std::min<std::int64_t>(height, std::int64_t{clip.y1} + kMargin);
      const std::int64_t x_lo = std::max<std::int64_t>(0, std::int64_t{clip.x0} - kMargin);
      const std::int64_t x_hi = std::min<std::int64_t>(width, std::int64_t{clip.x1} + kMargin);
      std::int64_t painted = 0, wrong = 0;
      for (std::int64_t y = y_lo; y < y_hi; ++y) {
        for (std::int64_t x = x_lo; x < x_hi; ++x) {
          const std::uint32_t want = expected_cover(c, clip, x, y) ? colour : 0u;
          const std::uint32_t got = target.pixel(x, y);
          painted += got != 0;
          if (got != want && ++wrong <= 5)
            ADD_FAILURE() << "pixel (" << x << ", " << y << "): " << std::hex << got
                          << " instead of " << want;
        }
      }
      EXPECT_EQ(wrong, 0);
      EXPECT_GT(painted, 0) << "the case must paint something to test anything";
    }
  }
}

}  // namespace
}  // namespace quadlite
