// The split of the fill's rows by work.
#include "render/bands.hpp"

#include <cmath>

namespace quadlite {

void split_by_work(BandSplit& split, const std::vector<RowWork>& runs,
                   std::int32_t grain) noexcept {
  split.starts.clear();
  if (split.bands < 2 || split.rows <= 0 || grain < 1) return;
  double total = 0;
  for (const RowWork& run : runs) total += run.rows * run.per_row;
  if (!(total > 0) || !std::isfinite(total)) return;
  try {
    split.starts.assign(split.bands + 1, split.first_row);
  } catch (...) {
    return;  // equal bands
  }
  const std::int64_t first = split.first_row;
  const std::int64_t end = first + split.rows;
  // The boundary nearest `row` on the grain, inside the split.
  const auto on_grain = [&](std::int64_t row) {
    const std::int64_t steps = (row - first + grain / 2) / grain;
    return std::min(end, first + steps * grain);
  };
  std::uint64_t band = 1;
  double done = 0;  // work of the rows before `row`
  std::int64_t row = first;
  const auto bands = static_cast<double>(split.bands);
  for (const RowWork& run : runs) {
    const double work = run.rows * run.per_row;
    // Band `band` starts where the work before it reaches its share.
    while (band < split.bands && done + work >= total * static_cast<double>(band) / bands) {
      const double want = total * static_cast<double>(band) / bands - done;
      const double rows_in = run.per_row > 0 ? std::max(0.0, std::round(want / run.per_row)) : 0;
      const std::int64_t at = row + static_cast<std::int64_t>(std::min<double>(rows_in, run.rows));
      split.starts[band] = static_cast<std::int32_t>(on_grain(at));
      ++band;
    }
    done += work;
    row += run.rows;
  }
  for (; band <= split.bands; ++band) split.starts[band] = static_cast<std::int32_t>(end);
  split.starts[split.bands] = static_cast<std::int32_t>(end);
  for (std::uint64_t b = 1; b <= split.bands; ++b)
    split.starts[b] = std::max(split.starts[b], split.starts[b - 1]);
}

}  // namespace quadlite
