#include "render/grid/grid_bands.hpp"

#include <cstdint>
#include <vector>

namespace quadlite {
namespace {

// What the grid fill spends, roughly, in nanoseconds on a current x86-64
// core: on any pixel row; per x span with cells on a row that starts a y
// span (its winner found); per pixel of the mesh's columns on such a row
// and on the rows that repeat it. Only the ratios matter.
constexpr double kRowWork = 20;
constexpr double kFreshSpanWork = 4;
constexpr double kFreshPixelWork = 0.3;
constexpr double kRepeatPixelWork = 0.15;

}  // namespace

void split_grid_rows(const GridMesh& grid, BandSplit& split) noexcept {
  split.starts.clear();
  if (split.bands < 2) return;
  double spans = 0, pixels = 0;  // of a row inside the mesh
  for (const AxisSpan& span : grid.x.spans) {
    if (span.end_cell == span.first_cell) continue;
    spans += 1;
    pixels += static_cast<double>(std::int64_t{span.end} - span.begin);
  }
  const double fresh = kRowWork + kFreshSpanWork * spans + kFreshPixelWork * pixels;
  const double repeat = kRowWork + kRepeatPixelWork * pixels;
  std::vector<RowWork> runs;
  try {
    runs.reserve(2 * grid.y.spans.size());
    for (const AxisSpan& span : grid.y.spans) {
      const std::int32_t rows = span.end - span.begin;
      if (span.end_cell == span.first_cell) {
        runs.push_back({rows, kRowWork});
      } else {
        runs.push_back({1, fresh});
        if (rows > 1) runs.push_back({rows - 1, repeat});
      }
    }
  } catch (...) {
    return;  // equal bands
  }
  split_by_work(split, runs);
}

}  // namespace quadlite
