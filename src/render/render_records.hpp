// Records shared by the render job, the prepare pass and the fill pass.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace quadlite {

// Tolerance of the offset and alpha tests and of the fill pass's edge test.
constexpr double kTolerance = 1e-12;

// Pixel-bound conversion of an integral double (the result of floor or ceil)
// to a 32-bit bound. Saturates: values at or above 2^31 give INT32_MAX so that
// a cell reaching far beyond the image still covers it; values below -2^31 and
// NaN give INT32_MIN. The range test comes first so no out-of-range double is
// ever cast.
inline std::int32_t pixel_bound(double v) {
  if (v >= 2147483648.0) return INT32_MAX;
  if (v >= -2147483648.0) return static_cast<std::int32_t>(v);
  return INT32_MIN;  // below range, or NaN
}
inline std::int32_t lower_bound_px(double v) { return pixel_bound(std::floor(v)); }
inline std::int32_t upper_bound_px(double v) { return pixel_bound(std::ceil(v)); }

// The renderer's RGBA8 buffer. Device row y lives in buffer row height-1-y.
struct TargetImage {
  std::uint8_t* data = nullptr;
  std::int32_t height = 0;
  std::int32_t width = 0;
  std::int64_t row_stride = 0;
  std::int64_t col_stride = 0;
  std::int64_t channel_stride = 1;
};

// Half-open rectangle of device pixels that may be written; empty when
// x0 >= x1 or y0 >= y1, never normalised.
struct ClipBox {
  std::int32_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;
};

struct Point {
  double x, y;
};

// Packs colour bytes so that memory order is R, G, B, A on any host.
inline std::uint32_t pack_rgba(std::uint8_t r, std::uint8_t g, std::uint8_t b,
                               std::uint8_t a) {
  const std::uint8_t bytes[4] = {r, g, b, a};
  std::uint32_t packed;
  std::memcpy(&packed, bytes, 4);
  return packed;
}

// One convex quad ready to fill: finite vertices, a box inside the clip box.
struct PreparedQuad {
  Point p[4];
  std::uint32_t colour;  // bytes R, G, B, A in memory order
  std::int32_t x0, x1, y0, y1;
};
// The fill pass copies records and stores `colour` as four raw bytes.
static_assert(std::is_trivially_copyable<PreparedQuad>::value, "plain record");
static_assert(offsetof(PreparedQuad, colour) == 8 * sizeof(double), "vertices first");
static_assert(offsetof(PreparedQuad, x0) == offsetof(PreparedQuad, colour) + 4,
              "box after colour");

using QuadList = std::vector<PreparedQuad>;

// Chunk k of `parts` over `items`: [k*items/parts, (k+1)*items/parts).
// The product is formed in 128 bits so no item count can wrap it.
inline std::uint64_t partition_bound(std::uint64_t k, std::uint64_t items,
                                     std::uint64_t parts) {
  return static_cast<std::uint64_t>(static_cast<unsigned __int128>(k) * items / parts);
}

}  // namespace quadlite
