// A target image inside a block of guard bytes, in any row and column
// order, with gaps between pixels and padding after rows, and pseudo-random
// starting bytes everywhere, so that any stray or missing write shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_input.hpp"
#include "render/render_types.hpp"

namespace quadlite {
namespace fuzzing {

constexpr std::int64_t kGuardBytes = 64;

struct GuardedImage {
  std::vector<std::uint8_t> storage;  // guard, rows, guard
  std::int32_t rows = 0, cols = 0;
  std::int64_t data_offset = 0;  // of row 0, column 0 within storage
  std::int64_t row_stride = 0, col_stride = 0;

  // Storage offset of the first byte of device pixel (x, y).
  std::int64_t offset_of(std::int32_t x, std::int32_t y) const {
    return data_offset + (static_cast<std::int64_t>(rows) - 1 - y) * row_stride +
           static_cast<std::int64_t>(x) * col_stride;
  }

  // The view the render job draws through, pointing into this storage.
  TargetImage image() {
    TargetImage t;
    t.data = storage.data() + data_offset;
    t.height = rows;
    t.width = cols;
    t.row_stride = row_stride;
    t.col_stride = col_stride;
    return t;
  }
};

inline GuardedImage make_guarded_image(const FuzzInput& in) {
  GuardedImage g;
  g.rows = in.rows;
  g.cols = in.cols;
  const std::int64_t pixel_step = 4 + in.gap;
  const std::int64_t row_bytes = (in.cols > 0 ? (in.cols - 1) * pixel_step + 4 : 0) + in.pad;
  g.storage.resize(static_cast<std::size_t>(2 * kGuardBytes + in.rows * row_bytes));

  std::uint32_t state = 0x9E3779B9u ^ in.fill_seed;  // xorshift32
  for (std::uint8_t& b : g.storage) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    b = static_cast<std::uint8_t>(state >> 24);
  }

  g.data_offset = kGuardBytes;
  g.row_stride = row_bytes;
  g.col_stride = pixel_step;
  if (in.rows_reversed && in.rows > 0) {
    g.data_offset += (in.rows - 1) * row_bytes;
    g.row_stride = -row_bytes;
  }
  if (in.cols_reversed && in.cols > 0) {
    g.data_offset += (in.cols - 1) * pixel_step;
    g.col_stride = -pixel_step;
  }
  return g;
}

}  // namespace fuzzing
}  // namespace quadlite
