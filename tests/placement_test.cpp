#include "video/placement.h"

#include <gtest/gtest.h>

TEST(VideoPlacement, FullHdPictureInFourByThreeTileIsLetterboxed) {
  PixelRect r;
  ASSERT_TRUE(PlacePicture(1920, 1080, 1.0, 1.0, 0, 0, 960, 720, &r));
  EXPECT_EQ(r.x, 0);
  EXPECT_EQ(r.y, 90);
  EXPECT_EQ(r.w, 960);
  EXPECT_EQ(r.h, 540);
  // Pillarbox the other way round, with the tile offset.
  ASSERT_TRUE(PlacePicture(640, 480, 1.0, 1.0, 100, 50, 100 + 1280, 50 + 720, &r));
  EXPECT_EQ(r.x, 100 + 160);
  EXPECT_EQ(r.y, 50);
  EXPECT_EQ(r.w, 960);
  EXPECT_EQ(r.h, 720);
}

TEST(VideoPlacement, ZoomedQuarterKeepsItsOwnAspect) {
  PixelRect r;
  ASSERT_TRUE(PlacePicture(1920, 1080, 0.5, 0.5, 0, 0, 1000, 1000, &r));
  EXPECT_EQ(r.w, 1000);
  EXPECT_EQ(r.h, 563);  // 1000 * 540 / 960 = 562.5, half away from zero
  EXPECT_EQ(r.y, 219);  // (1000 - 562.5) / 2 = 218.75
}

TEST(VideoPlacement, EmptySourceOrTileDrawsNothing) {
  PixelRect r;
  EXPECT_FALSE(PlacePicture(0, 1080, 1.0, 1.0, 0, 0, 100, 100, &r));
  EXPECT_FALSE(PlacePicture(1920, 1080, 0.0, 1.0, 0, 0, 100, 100, &r));
  EXPECT_FALSE(PlacePicture(1920, 1080, 1.0, -1.0, 0, 0, 100, 100, &r));
  EXPECT_FALSE(PlacePicture(1920, 1080, 1.0, 1.0, 10, 0, 10, 100, &r));
  EXPECT_FALSE(PlacePicture(1920, 1080, 1.0, 1.0, 0, 50, 100, 20, &r));
}

TEST(VideoPlacement, NearestRoundsHalvesAwayFromZero) {
  EXPECT_EQ(NearestInt(2.5), 3);
  EXPECT_EQ(NearestInt(-2.5), -3);
  EXPECT_EQ(NearestInt(2.4999), 2);
}

TEST(VideoPlacement, NavigatorWholeViewSitsOnTheBoxEdges) {
  PixelRect bars[4];
  NavigatorViewBars(10, 20, 170, 110, 0.0, 0.0, 1.0, 1.0, bars);
  EXPECT_EQ(bars[0].x, 10);
  EXPECT_EQ(bars[0].y, 20);
  EXPECT_EQ(bars[0].w, 160);
  EXPECT_EQ(bars[0].h, 2);
  EXPECT_EQ(bars[1].y, 108);
  EXPECT_EQ(bars[2].x, 10);
  EXPECT_EQ(bars[2].h, 90);
  EXPECT_EQ(bars[3].x, 168);
  NavigatorViewBars(0, 0, 160, 90, 0.25, 0.5, 0.5, 0.5, bars);
  EXPECT_EQ(bars[0].x, 40);
  EXPECT_EQ(bars[0].y, 45);
  EXPECT_EQ(bars[0].w, 80);
  EXPECT_EQ(bars[1].y, 88);
}

TEST(VideoPlacement, LabelStripAllowsNinePixelsPerCharacter) {
  const PixelRect r = LabelBox(100, 200, 5);
  EXPECT_EQ(r.x, 104);
  EXPECT_EQ(r.y, 204);
  EXPECT_EQ(r.x + r.w, 159);
  EXPECT_EQ(r.y + r.h, 222);
}

TEST(VideoPlacement, ResizeRequestsAreAtLeastEightAndPacked) {
  EXPECT_EQ(PackResizeRequest(0, 0), PackSizeWord(8, 8));
  EXPECT_EQ(PackResizeRequest(-5, 600), PackSizeWord(8, 600));
  const uint64_t p = PackResizeRequest(1920, 1080);
  EXPECT_EQ(SizeWordWidth(p), 1920u);
  EXPECT_EQ(SizeWordHeight(p), 1080u);
}
