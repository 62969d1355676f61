// The fill's bands of rows, and the index type with which a band of the quad
// path visits only its own quads instead of scanning the whole mesh (the
// check pass builds it).
#pragma once

#include <cstdint>
#include <vector>

#include "pool/batch.hpp"

namespace quadlite {

// The fill pass's split of the clip rows [first_row, first_row + rows) into
// `bands` contiguous bands.
struct BandSplit {
  std::int32_t first_row = 0;
  std::int32_t rows = 0;
  std::uint64_t bands = 0;
};

// First row of band `band` (band == bands gives the end of the last band).
inline std::int32_t band_start(const BandSplit& split, std::uint64_t band) {
  // The offset is at most `rows`, so it fits back into 32 bits.
  return split.first_row + static_cast<std::int32_t>(chunk_bound(
                               band, static_cast<std::uint64_t>(split.rows), split.bands));
}

// The band holding clip row `row` (first_row <= row < first_row + rows):
// the largest b with floor(b * rows / bands) <= row - first_row.
inline std::uint64_t band_of_row(const BandSplit& split, std::int32_t row) {
  // offset < rows < 2^31 and bands <= rows, so the product fits 64 bits.
  const auto offset = static_cast<std::uint64_t>(std::int64_t{row} - split.first_row);
  const auto rows = static_cast<std::uint64_t>(split.rows);
  return ((offset + 1) * split.bands - 1) / rows;
}

// One check task's share of the index: for every band, the quads of the
// task's range whose box reaches the band, as ascending offsets from
// first_quad. When `complete` is false (range too long for 32-bit offsets,
// or memory ran out) a band walks the whole range instead: slower, same image.
struct TaskBands {
  std::uint64_t first_quad = 0;
  std::uint64_t end_quad = 0;
  bool complete = false;
  std::vector<std::vector<std::uint32_t>> by_band;
};

}  // namespace quadlite
