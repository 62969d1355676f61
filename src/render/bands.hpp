// The fill's bands of rows: how the rows are split among them (evenly, or
// by the work each row brings), and the index type with which a band of the
// quad path visits only its own quads instead of scanning the whole mesh
// (the check pass gathers what it needs).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "pool/batch.hpp"

namespace quadlite {

// The fill pass's split of the clip rows [first_row, first_row + rows) into
// `bands` contiguous bands. Equal bands unless `starts` is set: then band b
// is [starts[b], starts[b + 1]), with starts[0] == first_row and
// starts[bands] == first_row + rows; a band may then be empty. Any split
// gives the same image, since each band draws only its own rows.
struct BandSplit {
  BandSplit() = default;
  BandSplit(std::int32_t first, std::int32_t row_count, std::uint64_t band_count)
      : first_row(first), rows(row_count), bands(band_count) {}

  std::int32_t first_row = 0;
  std::int32_t rows = 0;
  std::uint64_t bands = 0;
  std::vector<std::int32_t> starts;
};

// First row of band `band` (band == bands gives the end of the last band).
inline std::int32_t band_start(const BandSplit& split, std::uint64_t band) {
  if (!split.starts.empty()) return split.starts[band];
  // The offset is at most `rows`, so it fits back into 32 bits.
  return split.first_row + static_cast<std::int32_t>(chunk_bound(
                               band, static_cast<std::uint64_t>(split.rows), split.bands));
}

// The band holding clip row `row` (first_row <= row < first_row + rows):
// the largest b with band_start(b) <= row.
inline std::uint64_t band_of_row(const BandSplit& split, std::int32_t row) {
  if (!split.starts.empty()) {
    const auto after = std::upper_bound(split.starts.begin(), split.starts.end(), row);
    return static_cast<std::uint64_t>(after - split.starts.begin()) - 1;
  }
  // Equal bands: floor(b * rows / bands) <= row - first_row. offset < rows
  // < 2^31 and bands <= rows, so the product fits 64 bits.
  const auto offset = static_cast<std::uint64_t>(std::int64_t{row} - split.first_row);
  const auto rows = static_cast<std::uint64_t>(split.rows);
  return ((offset + 1) * split.bands - 1) / rows;
}

// `rows` consecutive rows that each bring `per_row` work to the fill (in
// any unit, the same for all).
struct RowWork {
  std::int32_t rows = 0;
  double per_row = 0;
};

// Sets split.starts so that each band's work is as near the mean as
// boundaries at multiples of `grain` rows from first_row allow, given the
// work of `runs`, which tile the split's rows in order. Leaves equal bands
// when there is no work to go by, or no memory for the starts.
void split_by_work(BandSplit& split, const std::vector<RowWork>& runs,
                   std::int32_t grain = 1) noexcept;

// Quads [begin, end) of a check task's range, as offsets from its first.
struct QuadRun {
  std::uint32_t begin = 0, end = 0;
};

// One check task's share of the index: for every band, ascending runs of
// the task's range that hold every quad whose box reaches the band (and
// maybe some whose box does not). When `complete` is false (range too long
// for 32-bit offsets, or memory ran out) a band walks the whole range
// instead: slower, same image.
struct TaskBands {
  std::uint64_t first_quad = 0;
  std::uint64_t end_quad = 0;
  bool complete = false;
  std::vector<std::vector<QuadRun>> by_band;
};

}  // namespace quadlite
