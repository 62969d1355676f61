// Types and values both paths share: the target, the clip box, points, a
// quad ready to fill, the pixel bounds, the colour packing and the
// tolerances.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace quadlite {

// Alphas within this of 0 or 1 count as 0 or 1 (offsets within it of 0 as 0),
// as the host decides which calls it draws opaquely.
constexpr double kAlphaTolerance = 1e-12;
// An edge value within this of 0 is neutral in the coverage rule. Equal to
// kAlphaTolerance by coincidence of the host's constants, not by design.
constexpr double kEdgeTolerance = 1e-12;

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

// The renderer's RGBA8 buffer, four adjacent bytes a pixel.
struct TargetImage {
  std::uint8_t* data = nullptr;
  std::int32_t height = 0;
  std::int32_t width = 0;
  std::int64_t row_stride = 0;
  std::int64_t col_stride = 0;
};

// Device row y (y grows upwards) lives in buffer row height - 1 - y; its
// byte offset from the data pointer.
inline std::int64_t row_offset(const TargetImage& t, std::int64_t device_row) {
  return (std::int64_t{t.height} - 1 - device_row) * t.row_stride;
}
inline std::uint8_t* buffer_row(const TargetImage& t, std::int64_t device_row) {
  return t.data + row_offset(t, device_row);
}

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

// One quad ready to fill: finite vertices in an order that passes
// quad_is_convex, and a non-empty box inside the clip box.
struct PreparedQuad {
  Point p[4];
  std::uint32_t colour;  // bytes R, G, B, A in memory order
  std::int32_t x0, x1, y0, y1;
};

}  // namespace quadlite
