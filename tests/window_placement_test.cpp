// The saved window size and position as the start-up reads them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "app/window_placement.h"

TEST(WindowPlacement, SizeLimits) {
  EXPECT_EQ(StartupWidth(239), 520);
  EXPECT_EQ(StartupWidth(239.9), 520);
  EXPECT_EQ(StartupWidth(240), 240);
  EXPECT_EQ(StartupWidth(1024.7), 1024);
  EXPECT_EQ(StartupHeight(159), 330);
  EXPECT_EQ(StartupHeight(160), 160);
  EXPECT_EQ(StartupHeight(-5), 330);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // Values no int can hold count as missing, instead of an undefined conversion.
  EXPECT_EQ(StartupWidth(nan), 520);
  EXPECT_EQ(StartupWidth(inf), 520);
  EXPECT_EQ(StartupWidth(1e300), 520);
  EXPECT_EQ(StartupHeight(-inf), 330);
  EXPECT_EQ(StartupHeight(4294967296.0), 330);
  EXPECT_EQ(StartupWidth(2147483647.0), 2147483647);
}

TEST(WindowPlacement, PositionNeverPlacedOrUnusable) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  int32_t left = 7, top = 7;
  EXPECT_FALSE(StartupPosition(nan, 10, 520, 330, &left, &top));
  EXPECT_FALSE(StartupPosition(10, nan, 520, 330, &left, &top));
  EXPECT_FALSE(StartupPosition(std::numeric_limits<double>::infinity(), 10, 520, 330, &left, &top));
  EXPECT_FALSE(StartupPosition(-1e12, 10, 520, 330, &left, &top));
  // The right or bottom edge would overflow.
  EXPECT_FALSE(StartupPosition(2147483000.0, 10, 1000, 330, &left, &top));
  EXPECT_FALSE(StartupPosition(10, 2147483500.0, 520, 330, &left, &top));
  EXPECT_EQ(left, 7);
  EXPECT_EQ(top, 7);

  ASSERT_TRUE(StartupPosition(-8.9, 100.2, 520, 330, &left, &top));
  EXPECT_EQ(left, -8);
  EXPECT_EQ(top, 100);
}

TEST(WindowPlacement, WorkspaceOffsetOfATaskbarAtTheLeft) {
  // Monitor at (0,0), taskbar 48 pixels wide on the left: work area starts at 48.
  PointOffset o = WorkspaceOffset(0, 0, 48, 0);
  EXPECT_EQ(o.x, 48);
  EXPECT_EQ(o.y, 0);
  // A second monitor left of the first with a taskbar at its top.
  o = WorkspaceOffset(-1920, 0, -1920, 40);
  EXPECT_EQ(o.x, 0);
  EXPECT_EQ(o.y, 40);
}
