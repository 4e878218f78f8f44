#include "platform/tick.h"

#include <gtest/gtest.h>

namespace korvo {
namespace {

TEST(ElapsedMs, StaysRightAcrossTheWrapOfTheCounter) {
  EXPECT_EQ(elapsed_ms(100, 250), 150u);
  EXPECT_EQ(elapsed_ms(0xFFFFFFF0u, 0x10u), 0x20u);
  EXPECT_EQ(elapsed_ms(0xFFFFFFFFu, 0u), 1u);
  EXPECT_EQ(elapsed_ms(7, 7), 0u);
}

TEST(TickCount, NeverRunsBackwards) {
  const std::uint32_t a = tick_count();
  const std::uint32_t b = tick_count();
  EXPECT_LT(elapsed_ms(a, b), 1000u);
}

}  // namespace
}  // namespace korvo
