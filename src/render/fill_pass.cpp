#include "render/fill_pass.hpp"

#include <algorithm>
#include <cstring>

namespace quadlite {
namespace {

// The quad's edges P_k -> P_{k+1}, with the differences that do not depend
// on the pixel taken out of the pixel loop; each edge value is still formed
// as (dx * (Y - y_k)) - (dy * (X - x_k)), rounded step by step.
struct Edges {
  double x[4], y[4];    // edge start points
  double dx[4], dy[4];  // edge vectors
};

Edges edges_of(const Point p[4]) {
  Edges e;
  for (int k = 0; k < 4; ++k) {
    const Point& next = p[(k + 1) & 3];
    e.x[k] = p[k].x;
    e.y[k] = p[k].y;
    e.dx[k] = next.x - p[k].x;
    e.dy[k] = next.y - p[k].y;
  }
  return e;
}

// Covered unless one edge value is clearly positive and another clearly
// negative; NaN compares false both ways and so is neutral.
inline bool covered(const Edges& e, const double row_offset[4], double X) {
  bool positive = false;
  bool negative = false;
  for (int k = 0; k < 4; ++k) {
    const double value = e.dx[k] * row_offset[k] - e.dy[k] * (X - e.x[k]);
    positive |= value > kTolerance;
    negative |= value < -kTolerance;
  }
  return !(positive && negative);
}

void fill_rows(const PreparedQuad& q, std::int32_t first, std::int32_t last,
               const TargetImage& target) {
  const Edges e = edges_of(q.p);
  for (std::int32_t i = first; i < last; ++i) {
    const double Y = static_cast<double>(i) + 0.5;
    const double row_offset[4] = {Y - e.y[0], Y - e.y[1], Y - e.y[2], Y - e.y[3]};
    // Device row i is buffer row height - 1 - i.
    std::uint8_t* row =
        target.data + (static_cast<std::int64_t>(target.height) - 1 - i) * target.row_stride;
    for (std::int32_t j = q.x0; j < q.x1; ++j) {
      const double X = static_cast<double>(j) + 0.5;
      if (covered(e, row_offset, X)) {
        std::memcpy(row + static_cast<std::int64_t>(j) * target.col_stride, &q.colour, 4);
      }
    }
  }
}

}  // namespace

bool covers(const Point p[4], double cx, double cy) {
  const Edges e = edges_of(p);
  const double row_offset[4] = {cy - e.y[0], cy - e.y[1], cy - e.y[2], cy - e.y[3]};
  return covered(e, row_offset, cx);
}

void fill_band(const std::vector<QuadList>& lists, std::int32_t clip_y0,
               std::int32_t rows, std::uint64_t band, std::uint64_t bands,
               const TargetImage& target) noexcept {
  if (rows <= 0 || bands == 0 || band >= bands) return;
  const auto row_count = static_cast<std::uint64_t>(rows);
  // Both offsets are at most `rows`, so they fit back into 32 bits.
  const std::int32_t band_begin =
      clip_y0 + static_cast<std::int32_t>(partition_bound(band, row_count, bands));
  const std::int32_t band_end =
      clip_y0 + static_cast<std::int32_t>(partition_bound(band + 1, row_count, bands));

  // Lists in order, each in order: mesh order, so later cells win.
  for (const QuadList& list : lists) {
    for (const PreparedQuad& q : list) {
      const std::int32_t first = std::max(q.y0, band_begin);
      const std::int32_t last = std::min(q.y1, band_end);
      if (first < last) fill_rows(q, first, last, target);
    }
  }
}

}  // namespace quadlite
