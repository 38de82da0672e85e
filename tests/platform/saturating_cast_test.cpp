#include "platform/saturating_cast.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

TEST(SaturatingCast, HoldsEveryDoubleToTheTargetsRange) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    std::int32_t as32;
    std::int16_t as16;
  } cases[] = {
      {0.0, 0, 0},
      {-0.0, 0, 0},
      {2.99, 2, 2},
      {-2.99, -2, -2},
      {32767.5, 32767, 32767},
      {-32768.9, -32768, -32768},
      {40000.0, 40000, 32767},
      {2147483647.0, 2147483647, 32767},
      {2147483648.0, 2147483647, 32767},
      {214748364700.0, 2147483647, 32767},
      {-2147483649.0, -2147483647 - 1, -32768},
      {1e308, 2147483647, 32767},
      {-1e308, -2147483647 - 1, -32768},
      {kInf, 2147483647, 32767},
      {-kInf, -2147483647 - 1, -32768},
      {std::numeric_limits<double>::quiet_NaN(), 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Platform::SaturatingCast<std::int32_t>(c.value), c.as32) << c.value;
    EXPECT_EQ(Platform::SaturatingCast<std::int16_t>(c.value), c.as16) << c.value;
  }
}

}  // namespace
