#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "render/render_records.hpp"

namespace quadlite {
namespace {

TEST(PixelBound, FloorCeilAndSaturation) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(lower_bound_px(3.7), 3);
  EXPECT_EQ(upper_bound_px(3.2), 4);
  EXPECT_EQ(lower_bound_px(-0.5), -1);
  EXPECT_EQ(upper_bound_px(2147483647.5), INT32_MAX);
  EXPECT_EQ(lower_bound_px(-2147483648.0), INT32_MIN);
  EXPECT_EQ(lower_bound_px(-2147483649.5), INT32_MIN);
  EXPECT_EQ(upper_bound_px(nan), INT32_MIN);
  EXPECT_EQ(upper_bound_px(3e9), INT32_MAX);
  EXPECT_EQ(upper_bound_px(std::numeric_limits<double>::infinity()), INT32_MAX);
  EXPECT_EQ(lower_bound_px(-std::numeric_limits<double>::infinity()), INT32_MIN);
}

}  // namespace
}  // namespace quadlite
