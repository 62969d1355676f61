#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "render/render_types.hpp"

namespace quadlite {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

TEST(PixelBound, FloorCeilAndSaturation) {
  const struct {
    bool lower;  // lower_bound_px (floor) or upper_bound_px (ceil)
    double in;
    std::int32_t out;
  } cases[] = {
      {true, 3.7, 3},
      {false, 3.2, 4},
      {true, -0.5, -1},
      {false, -0.5, 0},
      {false, -0.0, 0},
      {true, -1e-300, -1},
      {false, 1e-300, 1},
      {true, 2147483647.0, INT32_MAX},
      {true, 2147483647.9, INT32_MAX},
      {false, 2147483646.5, INT32_MAX},
      // At and beyond 2^31 the bound saturates instead of wrapping.
      {false, 2147483647.5, INT32_MAX},
      {true, 2147483648.0, INT32_MAX},
      {false, 3e9, INT32_MAX},
      {false, 1e300, INT32_MAX},
      {false, kInf, INT32_MAX},
      {true, -2147483648.0, INT32_MIN},
      {false, -2147483648.5, INT32_MIN},
      {true, -2147483647.5, INT32_MIN},
      {true, -2147483648.5, INT32_MIN},
      {true, -3e9, INT32_MIN},
      {true, -kInf, INT32_MIN},
      {true, kNaN, INT32_MIN},
      {false, kNaN, INT32_MIN},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.lower ? lower_bound_px(c.in) : upper_bound_px(c.in), c.out)
        << (c.lower ? "floor " : "ceil ") << c.in;
  }
}

TEST(PreparedQuadColour, BytesInMemoryOrderRgba) {
  PreparedQuad q{};
  q.colour = pack_rgba(255, 0, 128, 255);
  std::uint8_t bytes[4];
  std::memcpy(bytes, &q.colour, 4);
  EXPECT_EQ(bytes[0], 255);
  EXPECT_EQ(bytes[1], 0);
  EXPECT_EQ(bytes[2], 128);
  EXPECT_EQ(bytes[3], 255);
  // Read back as a little-endian integer: R + 256 G + 65536 B + 2^24 * 255.
  const std::uint32_t le = bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                           static_cast<std::uint32_t>(bytes[3]) << 24;
  EXPECT_EQ(le, 0xFF8000FFu);
}

}  // namespace
}  // namespace quadlite
