#include "app/layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

LayoutRect R(int32_t l, int32_t t, int32_t r, int32_t b) {
  return LayoutRect{l, t, r, b};
}

void ExpectRect(const LayoutRect& got, const LayoutRect& want) {
  EXPECT_EQ(got.left, want.left);
  EXPECT_EQ(got.top, want.top);
  EXPECT_EQ(got.right, want.right);
  EXPECT_EQ(got.bottom, want.bottom);
}

// The picture point under a tile position, as the renderer shows it.
double VideoXAt(const ViewGeometry& g, double tileX) {
  return (tileX - g.offsetX) / g.scale;
}

}  // namespace

TEST(LayoutMulDiv, RoundsHalvesAwayFromZeroAndFlagsFailures) {
  EXPECT_EQ(MulDivRound(232, 9, 16), 131);  // 130.5
  EXPECT_EQ(MulDivRound(-232, 9, 16), -131);
  EXPECT_EQ(MulDivRound(232, -9, 16), -131);
  EXPECT_EQ(MulDivRound(232, 9, -16), -131);
  EXPECT_EQ(MulDivRound(-232, -9, 16), 131);
  EXPECT_EQ(MulDivRound(7, 1, 3), 2);  // 2.33
  EXPECT_EQ(MulDivRound(5, 1, 3), 2);  // 1.67
  EXPECT_EQ(MulDivRound(0, -5, 3), 0);
  EXPECT_EQ(MulDivRound(1, 1, 0), -1);
  EXPECT_EQ(MulDivRound(std::numeric_limits<int32_t>::max(), 2, 1), -1);
  EXPECT_EQ(MulDivRound(std::numeric_limits<int32_t>::min(), 1, -1), -1);  // no overflow inside
  EXPECT_EQ(MulDivRound(1 << 30, 4, 4), 1 << 30);                          // 64-bit intermediate

  EXPECT_EQ(ScaleForDpi(240, 96), 240);
  EXPECT_EQ(ScaleForDpi(240, 144), 360);
  EXPECT_EQ(ScaleForDpi(4, 144), 6);
  EXPECT_EQ(ScaleForDpi(34, 144), 51);
  EXPECT_EQ(ScaleForDpi(10, 120), 13);  // 12.5
  EXPECT_EQ(ScaleForDpi(240, 0), 240);  // a failed dpi query counts as 96
}

TEST(LayoutTargets, StageAndStripAt96Dpi) {
  const auto t = ComputeTileTargets(1200, 700, 96, 3, 1, false);
  ASSERT_EQ(t.size(), 3u);
  ExpectRect(t[0].rect, R(4, 4, 236, 135));  // 232 × 131
  ExpectRect(t[2].rect, R(4, 139, 236, 270));
  ExpectRect(t[1].rect, R(240, 0, 1200, 700));
  EXPECT_TRUE(t[0].shown && t[1].shown && t[2].shown);

  // A narrow window takes a third of its width for the strip.
  const auto narrow = ComputeTileTargets(600, 400, 96, 2, 0, false);
  EXPECT_EQ(narrow[0].rect.left, 200);
  EXPECT_EQ(RectWidth(narrow[1].rect), 192);
  EXPECT_EQ(RectHeight(narrow[1].rect), 108);
}

TEST(LayoutTargets, StripScalesWithDpi) {
  const auto wide = ComputeTileTargets(1800, 1000, 144, 2, 0, false);
  EXPECT_EQ(wide[0].rect.left, 360);                // the 240 limit, scaled
  ExpectRect(wide[1].rect, R(6, 6, 354, 6 + 196));  // 348 × 195.75 → 196
  // Below three times the scaled limit the third of the width wins.
  const auto third = ComputeTileTargets(1000, 800, 144, 2, 1, false);
  EXPECT_EQ(third[1].rect.left, 333);
  EXPECT_EQ(RectWidth(third[0].rect), 333 - 12);
}

TEST(LayoutTargets, ThumbnailsRunPastTheBottomEdge) {
  const auto t = ComputeTileTargets(1200, 300, 96, 5, 4, false);
  EXPECT_EQ(t[0].rect.top, 4);
  EXPECT_EQ(t[1].rect.top, 139);
  EXPECT_EQ(t[2].rect.top, 274);
  EXPECT_EQ(t[3].rect.top, 409);  // below the 300-pixel client area, still placed
  EXPECT_TRUE(t[3].shown);
}

TEST(LayoutTargets, SingleTileFullScreenAndEdgeCounts) {
  const auto one = ComputeTileTargets(800, 600, 96, 1, 0, false);
  ASSERT_EQ(one.size(), 1u);
  ExpectRect(one[0].rect, R(0, 0, 800, 600));

  const auto full = ComputeTileTargets(800, 600, 96, 3, 2, true);
  ExpectRect(full[2].rect, R(0, 0, 800, 600));
  EXPECT_FALSE(full[0].shown);
  EXPECT_FALSE(full[1].shown);
  ExpectRect(full[0].rect, R(0, 0, 0, 0));

  EXPECT_TRUE(ComputeTileTargets(800, 600, 96, 0, 0, false).empty());
  // An out-of-range selection falls back to the first tile.
  const auto fallback = ComputeTileTargets(1200, 700, 96, 2, 5, false);
  EXPECT_EQ(fallback[0].rect.left, 240);
}

TEST(LayoutSlide, EasesAndEndsExactlyOnTarget) {
  EXPECT_DOUBLE_EQ(EaseOutCubic(-1), 0.0);
  EXPECT_DOUBLE_EQ(EaseOutCubic(0.5), 0.875);
  EXPECT_DOUBLE_EQ(EaseOutCubic(2), 1.0);
  EXPECT_DOUBLE_EQ(AnimationProgress(1110, 1000, kSlideMs), 0.5);
  EXPECT_DOUBLE_EQ(AnimationProgress(1000, 1000, kSlideMs), 0.0);
  EXPECT_DOUBLE_EQ(AnimationProgress(900, 1000, kSlideMs), 0.0);  // clock before the start

  TileMotion tile;
  tile.rect = R(0, 0, 100, 100);
  StartSlide(tile, TileTarget{R(200, 0, 300, 50), true});
  EXPECT_TRUE(tile.animating);
  ExpectRect(tile.rect, R(0, 0, 100, 100));
  AdvanceSlide(tile, 0.5);                    // e = 0.875
  ExpectRect(tile.rect, R(175, 0, 275, 56));  // bottom 56.25 rounded
  EXPECT_TRUE(tile.animating);
  AdvanceSlide(tile, 1.3);
  ExpectRect(tile.rect, R(200, 0, 300, 50));
  EXPECT_FALSE(tile.animating);
  EXPECT_TRUE(tile.visible);
}

TEST(LayoutSlide, LeavingTilesGoOutLeftAndComeBackFromThere) {
  TileMotion tile;
  tile.rect = R(4, 4, 236, 135);
  StartSlide(tile, TileTarget{R(0, 0, 0, 0), false});      // full-screen on
  ExpectRect(tile.animTo, R(4 - 280, 4, 236 - 280, 135));  // width 232 + 48
  EXPECT_TRUE(tile.hiding && tile.visible);
  AdvanceSlide(tile, 1.0);
  EXPECT_FALSE(tile.visible);
  EXPECT_FALSE(tile.animating);

  // Still hidden: a second layout leaves it alone.
  StartSlide(tile, TileTarget{R(0, 0, 0, 0), false});
  EXPECT_FALSE(tile.animating);
  EXPECT_FALSE(tile.visible);

  // Full-screen off: enters from beyond the left edge of its target.
  StartSlide(tile, TileTarget{R(4, 139, 236, 270), true});
  ExpectRect(tile.animFrom, R(4 - 280, 139, 236 - 280, 270));
  ExpectRect(tile.rect, tile.animFrom);
  EXPECT_TRUE(tile.visible && !tile.hiding);
  AdvanceSlide(tile, 1.0);
  ExpectRect(tile.rect, R(4, 139, 236, 270));

  // Without animation the tile jumps and takes the shown flag.
  PlaceTile(tile, TileTarget{R(0, 0, 0, 0), false});
  EXPECT_FALSE(tile.visible);
  EXPECT_FALSE(tile.animating);
}

TEST(LayoutGeometry, FitsLetterboxesAndIsInvalidWithoutPictureOrArea) {
  ViewGeometry g = ComputeViewGeometry(1920, 1080, R(0, 0, 960, 720), 1.0, 0.5, 0.5);
  ASSERT_TRUE(g.valid);
  EXPECT_DOUBLE_EQ(g.fitScale, 0.5);
  EXPECT_DOUBLE_EQ(g.offsetX, 0);
  EXPECT_DOUBLE_EQ(g.offsetY, 90);
  EXPECT_DOUBLE_EQ(g.srcWidth, 1920);
  EXPECT_DOUBLE_EQ(g.srcHeight, 1080);
  const ViewFractions whole = VisibleFractions(g);
  EXPECT_DOUBLE_EQ(whole.width, 1.0);
  EXPECT_DOUBLE_EQ(whole.x, 0.0);

  EXPECT_FALSE(ComputeViewGeometry(0, 1080, R(0, 0, 960, 720), 2, 0.5, 0.5).valid);
  EXPECT_FALSE(ComputeViewGeometry(1920, 1080, R(10, 0, 10, 720), 2, 0.5, 0.5).valid);
  const ViewGeometry neg = ComputeViewGeometry(1920, 1080, R(10, 0, 4, 720), 2, 0.5, 0.5);
  EXPECT_FALSE(neg.valid);
  EXPECT_DOUBLE_EQ(neg.scale, 1.0);
  EXPECT_DOUBLE_EQ(VisibleFractions(neg).height, 1.0);
}

TEST(LayoutGeometry, ZoomedWindowFollowsPanWithinThePicture) {
  // Zoom 2: the tile shows half the picture in each direction.
  ViewGeometry g = ComputeViewGeometry(1920, 1080, R(240, 0, 1200, 540), 2.0, 0.5, 0.5);
  EXPECT_DOUBLE_EQ(g.srcWidth, 960);
  EXPECT_DOUBLE_EQ(g.srcX, 480);
  EXPECT_DOUBLE_EQ(g.offsetX, -480);
  g = ComputeViewGeometry(1920, 1080, R(0, 0, 960, 540), 2.0, 0.0, 1.0);
  EXPECT_DOUBLE_EQ(g.srcX, 0);
  EXPECT_DOUBLE_EQ(g.srcY, 540);
  const ViewFractions f = VisibleFractions(g);
  EXPECT_DOUBLE_EQ(f.x, 0.0);
  EXPECT_DOUBLE_EQ(f.y, 0.5);
  EXPECT_DOUBLE_EQ(f.width, 0.5);
  // Across still fits in a wide tile while down overflows.
  g = ComputeViewGeometry(1920, 1080, R(0, 0, 1600, 540), 1.25, 0.5, 0.9);
  EXPECT_DOUBLE_EQ(g.srcWidth, 1920);
  EXPECT_GT(g.offsetX, 0);
  EXPECT_LT(g.srcHeight, 1080);
  EXPECT_DOUBLE_EQ(g.srcY, 1080 - g.srcHeight);  // clamped at the bottom
}

TEST(LayoutZoom, WheelTargetsClampBetweenOneAndTen) {
  EXPECT_DOUBLE_EQ(WheelZoomTarget(1.0, 120), 1.25);
  EXPECT_DOUBLE_EQ(WheelZoomTarget(1.0, -120), 1.0);
  EXPECT_DOUBLE_EQ(WheelZoomTarget(1.25, -120), 1.0);
  EXPECT_NEAR(WheelZoomTarget(1.0, 60), std::sqrt(1.25), 1e-12);  // fine-grained wheels
  double z = 1.0;
  for (int i = 0; i < 10; ++i) z = WheelZoomTarget(z, 120);
  EXPECT_LT(z, 10.0);
  EXPECT_DOUBLE_EQ(WheelZoomTarget(z, 120), 10.0);  // the eleventh notch
  EXPECT_DOUBLE_EQ(WheelZoomTarget(10.0, 120 * 5), 10.0);
  EXPECT_DOUBLE_EQ(WheelZoomTarget(std::nan(""), 120), 1.0);

  EXPECT_FALSE(IsZoomed(1.001));
  EXPECT_TRUE(IsZoomed(1.0011));
}

TEST(LayoutZoom, StoredViewsAreMadeUsable) {
  ViewValues v = SanitizeView(std::nan(""), std::nan(""), 2.0);
  EXPECT_DOUBLE_EQ(v.zoom, 1.0);
  EXPECT_DOUBLE_EQ(v.pan.x, 0.5);
  EXPECT_DOUBLE_EQ(v.pan.y, 1.0);
  v = SanitizeView(std::numeric_limits<double>::infinity(), -1, 0.25);
  EXPECT_DOUBLE_EQ(v.zoom, 1.0);
  EXPECT_DOUBLE_EQ(v.pan.x, 0.0);
  v = SanitizeView(12.5, 0.3, 0.7);  // stored zooms keep their value
  EXPECT_DOUBLE_EQ(v.zoom, 12.5);
  EXPECT_DOUBLE_EQ(v.pan.x, 0.3);
  EXPECT_DOUBLE_EQ(v.pan.y, 0.7);
}

TEST(LayoutZoom, AnchorStaysUnderTheCursorThroughTheAnimation) {
  const LayoutRect tile = R(240, 0, 1200, 540);
  const uint32_t w = 1920, h = 1080;
  for (const LayoutPoint cursor :
       {LayoutPoint{300, 200}, LayoutPoint{0, 0}, LayoutPoint{959, 539}}) {
    double zoom = 1.5;
    PanCentre pan{0.4, 0.6};
    const ViewGeometry start = ComputeViewGeometry(w, h, tile, zoom, pan.x, pan.y);
    const ZoomAnchor a = MakeZoomAnchor(start, cursor);
    const double target = WheelZoomTarget(zoom, 240);
    for (double t = 0.1; t <= 1.0001; t += 0.1) {
      zoom = 1.5 + (target - 1.5) * EaseOutCubic(t);
      const ViewGeometry g0 = ComputeViewGeometry(w, h, tile, zoom, pan.x, pan.y);
      pan = AnchoredPan(g0, zoom, a);
      const ViewGeometry g = ComputeViewGeometry(w, h, tile, zoom, pan.x, pan.y);
      EXPECT_NEAR(VideoXAt(g, cursor.x), a.videoX, 1e-6) << "t " << t;
      EXPECT_NEAR((cursor.y - g.offsetY) / g.scale, a.videoY, 1e-6) << "t " << t;
    }
  }
  // At the picture's left edge the edge stays under the cursor.
  const ViewGeometry g1 = ComputeViewGeometry(w, h, tile, 1.0, 0.5, 0.5);
  const ZoomAnchor edge = MakeZoomAnchor(g1, LayoutPoint{0, 270});
  EXPECT_DOUBLE_EQ(edge.videoX, 0.0);
  const PanCentre p = AnchoredPan(g1, 2.0, edge);
  EXPECT_DOUBLE_EQ(p.x, 0.25);
  EXPECT_DOUBLE_EQ(ComputeViewGeometry(w, h, tile, 2.0, p.x, p.y).srcX, 0.0);
}

TEST(LayoutZoom, AnchorInTheLetterboxIsClampedToThePicture) {
  // 1600 × 600 tile: bars left and right of a 1067-pixel picture.
  const ViewGeometry g = ComputeViewGeometry(1920, 1080, R(0, 0, 1600, 600), 1.0, 0.5, 0.5);
  const ZoomAnchor left = MakeZoomAnchor(g, LayoutPoint{10, 300});
  EXPECT_DOUBLE_EQ(left.videoX, 0.0);
  const ZoomAnchor right = MakeZoomAnchor(g, LayoutPoint{1590, 300});
  EXPECT_DOUBLE_EQ(right.videoX, 1920.0);
  EXPECT_NEAR(right.videoY, 540.0, 1e-9);
}

TEST(LayoutPan, DragMovesThePictureAndStopsAtItsEdges) {
  const LayoutRect tile = R(0, 0, 960, 540);
  PanCentre pan{0.5, 0.5};
  // Dragging right by 96 screen pixels at scale 1 shows 96 video pixels further left.
  pan = PanStep(1920, 1080, tile, 2.0, pan, 96, 0);
  EXPECT_DOUBLE_EQ(pan.x, 0.45);
  EXPECT_DOUBLE_EQ(pan.y, 0.5);
  pan = PanStep(1920, 1080, tile, 2.0, pan, 5000, -5000);
  EXPECT_DOUBLE_EQ(pan.x, 0.25);
  EXPECT_DOUBLE_EQ(pan.y, 0.75);
  pan = PanStep(1920, 1080, tile, 2.0, pan, -9000, 9000);
  EXPECT_DOUBLE_EQ(pan.x, 0.75);
  EXPECT_DOUBLE_EQ(pan.y, 0.25);
  // Not zoomed: the window is the whole picture, so the pan re-centres.
  pan = PanStep(1920, 1080, tile, 1.0, PanCentre{0.1, 0.9}, 10, 10);
  EXPECT_DOUBLE_EQ(pan.x, 0.5);
  EXPECT_DOUBLE_EQ(pan.y, 0.5);
  // No picture yet: nothing moves.
  pan = PanStep(0, 0, tile, 2.0, PanCentre{0.3, 0.3}, 10, 10);
  EXPECT_DOUBLE_EQ(pan.x, 0.3);
}

TEST(LayoutOverlays, NavigatorAndSoundIconBoxes) {
  const LayoutRect stage = R(240, 0, 1200, 700);
  ExpectRect(NavigatorRectFor(stage, 1920, 1080, 96), R(1010, 10, 1190, 111));  // 180 × 101.25
  ExpectRect(NavigatorRectFor(stage, 0, 0, 96), R(1010, 10, 1190, 111));        // 16:9 stand-in
  ExpectRect(NavigatorRectFor(stage, 1080, 1920, 96), R(1010, 10, 1190, 330));  // portrait
  const LayoutRect nav144 = NavigatorRectFor(stage, 1920, 1080, 144);
  EXPECT_EQ(RectWidth(nav144), 270);
  EXPECT_EQ(nav144.right, 1200 - 15);
  ExpectRect(AudioIconRectFor(stage, 96), R(250, 656, 284, 690));
  const LayoutRect icon144 = AudioIconRectFor(stage, 144);
  EXPECT_EQ(RectWidth(icon144), 51);
  EXPECT_EQ(icon144.bottom, 700 - 15);

  PanCentre pan{0.5, 0.5};
  const LayoutRect nav = R(1010, 10, 1190, 111);
  ASSERT_TRUE(NavigatorPan(nav, LayoutPoint{1010 + 45, 10}, pan));
  EXPECT_DOUBLE_EQ(pan.x, 0.25);
  EXPECT_DOUBLE_EQ(pan.y, 0.0);
  ASSERT_TRUE(NavigatorPan(nav, LayoutPoint{2000, -50}, pan));
  EXPECT_DOUBLE_EQ(pan.x, 1.0);
  EXPECT_DOUBLE_EQ(pan.y, 0.0);
  pan = PanCentre{0.3, 0.3};
  EXPECT_FALSE(NavigatorPan(R(5, 5, 5, 50), LayoutPoint{5, 5}, pan));
  EXPECT_DOUBLE_EQ(pan.x, 0.3);
}

TEST(LayoutHitTest, BordersHiddenTilesAndOrder) {
  const auto t = ComputeTileTargets(1200, 700, 96, 3, 1, false);
  std::vector<HitTile> tiles;
  for (const TileTarget& target : t) tiles.push_back(HitTile{target.rect, target.shown});
  EXPECT_EQ(HitTestTiles(tiles, 1, LayoutPoint{4, 4}), 0);  // top-left inclusive
  EXPECT_EQ(HitTestTiles(tiles, 1, LayoutPoint{235, 134}), 0);
  EXPECT_EQ(HitTestTiles(tiles, 1, LayoutPoint{236, 100}), -1);  // right exclusive
  EXPECT_EQ(HitTestTiles(tiles, 1, LayoutPoint{100, 135}), -1);  // bottom exclusive, the gap
  EXPECT_EQ(HitTestTiles(tiles, 1, LayoutPoint{100, 139}), 2);
  EXPECT_EQ(HitTestTiles(tiles, 1, LayoutPoint{239, 0}), -1);
  EXPECT_EQ(HitTestTiles(tiles, 1, LayoutPoint{240, 0}), 1);
  EXPECT_EQ(HitTestTiles(tiles, 1, LayoutPoint{1200, 699}), -1);

  // A thumbnail sliding over the stage wins; once hidden it is not hit.
  tiles[0].rect = R(300, 0, 500, 100);
  EXPECT_EQ(HitTestTiles(tiles, 1, LayoutPoint{350, 50}), 0);
  tiles[0].visible = false;
  EXPECT_EQ(HitTestTiles(tiles, 1, LayoutPoint{350, 50}), 1);

  EXPECT_EQ(HitTestTiles({}, 0, LayoutPoint{0, 0}), -1);
}

TEST(LayoutConnecting, StaleDownOrNeverSeenStreams) {
  EXPECT_FALSE(IsTileConnecting(true, 10000, 14000));
  EXPECT_TRUE(IsTileConnecting(true, 10000, 14001));
  EXPECT_TRUE(IsTileConnecting(false, 10000, 10001));
  EXPECT_TRUE(IsTileConnecting(true, 0, 10000));
  EXPECT_FALSE(IsTileConnecting(true, 10016, 10000));  // stamped just after the clock read
}

TEST(LayoutStrip, NothingScrollsWhileTheThumbnailsFit) {
  // Five thumbnails of 131 with gaps of 4 end at 675: a 675-pixel client
  // holds them all, one pixel less does not.
  StripGeometry fits = ComputeStrip(1200, 675, 96, 6);
  EXPECT_EQ(fits.thumbCount, 5);
  EXPECT_EQ(fits.maxScroll, 0);
  const StripGeometry over = ComputeStrip(1200, 674, 96, 6);
  EXPECT_EQ(over.maxScroll, 675 + 4 - 674);

  EXPECT_EQ(ClampStripScroll(fits, 300), 0);
  EXPECT_EQ(WheelStripScroll(fits, 0, -120), 0);
  EXPECT_FALSE(StripTakesWheel(fits, false, LayoutPoint{100, 100}));
  EXPECT_EQ(StripIndicatorRect(fits, false, 0), LayoutRect{});
  // A stale offset changes nothing where everything fits.
  const auto plain = ComputeTileTargets(1200, 675, 96, 6, 2, false);
  const auto stale = ComputeTileTargets(1200, 675, 96, 6, 2, false, 300);
  for (size_t p = 0; p < plain.size(); ++p) EXPECT_EQ(stale[p].rect, plain[p].rect) << p;

  // One tile, or none: no strip at all.
  EXPECT_EQ(ComputeStrip(1200, 100, 96, 1).maxScroll, 0);
  EXPECT_EQ(ComputeStrip(1200, 100, 96, 0).maxScroll, 0);
  EXPECT_FALSE(StripTakesWheel(ComputeStrip(1200, 100, 96, 1), false, LayoutPoint{10, 10}));
}

TEST(LayoutStrip, ScrollingEndsWithTheLastThumbnailFullyInView) {
  struct Case {
    int32_t width, height, count, maxScroll;
  };
  // 16 cameras on a 1080-pixel client; 8 cameras in a 600-pixel one.
  for (const Case c :
       {Case{1920, 1080, 16, 15 * 135 + 4 - 1080}, Case{1000, 600, 8, 7 * 135 + 4 - 600}}) {
    const StripGeometry strip = ComputeStrip(c.width, c.height, 96, c.count);
    EXPECT_EQ(strip.maxScroll, c.maxScroll);
    const int32_t last = c.count - 1;  // the first tile is on the stage
    const auto top = ComputeTileTargets(c.width, c.height, 96, c.count, 0, false, 0);
    EXPECT_GT(top[last].rect.bottom, c.height);  // out of sight unscrolled
    const auto end = ComputeTileTargets(c.width, c.height, 96, c.count, 0, false, strip.maxScroll);
    EXPECT_EQ(end[last].rect.bottom, c.height - 4);  // in view, one gap below
    EXPECT_EQ(end[last].rect.top, c.height - 4 - 131);
    EXPECT_EQ(end[1].rect.top, 4 - strip.maxScroll);
    // Asking for more clamps to the end; asking for less than 0 to the top.
    const auto beyond = ComputeTileTargets(c.width, c.height, 96, c.count, 0, false, 1 << 30);
    EXPECT_EQ(beyond[last].rect, end[last].rect);
    EXPECT_EQ(ClampStripScroll(strip, -7), 0);
    EXPECT_EQ(ClampStripScroll(strip, strip.maxScroll + 1), strip.maxScroll);
    // The stage does not move with the strip.
    EXPECT_EQ(end[0].rect, (LayoutRect{240, 0, c.width, c.height}));
  }
}

TEST(LayoutStrip, WheelMovesOneThumbnailPerNotchWithinTheRange) {
  const StripGeometry strip = ComputeStrip(1920, 1080, 96, 16);  // max 949
  EXPECT_EQ(WheelStripScroll(strip, 0, -120), 135);              // towards the user: down the list
  EXPECT_EQ(WheelStripScroll(strip, 135, 120), 0);
  EXPECT_EQ(WheelStripScroll(strip, 0, 120), 0);       // already at the top
  EXPECT_EQ(WheelStripScroll(strip, 900, -120), 949);  // stops at the end
  EXPECT_EQ(WheelStripScroll(strip, 0, -120 * 50), 949);
  EXPECT_EQ(WheelStripScroll(strip, 0, -60), 67);  // half a notch, 67.5 towards zero
  EXPECT_EQ(WheelStripScroll(strip, 67, 60), 0);
  int32_t scroll = 0;
  int notches = 0;
  while (scroll < strip.maxScroll && notches < 100) {
    scroll = WheelStripScroll(strip, scroll, -120);
    ++notches;
  }
  EXPECT_EQ(notches, 8);  // 949 / 135 = 7.03

  // The strip takes the wheel only over its own column and not in full-screen.
  EXPECT_TRUE(StripTakesWheel(strip, false, LayoutPoint{0, 0}));
  EXPECT_TRUE(StripTakesWheel(strip, false, LayoutPoint{239, 1079}));
  EXPECT_FALSE(StripTakesWheel(strip, false, LayoutPoint{240, 500}));  // the stage
  EXPECT_FALSE(StripTakesWheel(strip, false, LayoutPoint{100, 1080}));
  EXPECT_FALSE(StripTakesWheel(strip, false, LayoutPoint{-1, 10}));
  EXPECT_FALSE(StripTakesWheel(strip, true, LayoutPoint{100, 100}));
}

TEST(LayoutStrip, HitTestsFollowTheScrolledThumbnails) {
  const StripGeometry strip = ComputeStrip(1920, 1080, 96, 16);
  const auto t = ComputeTileTargets(1920, 1080, 96, 16, 0, false, strip.maxScroll);
  std::vector<HitTile> tiles;
  for (const TileTarget& target : t) tiles.push_back(HitTile{target.rect, target.shown});
  // Slot 15 (the sixteenth camera) is the last thumbnail, 945 … 1076.
  EXPECT_EQ(HitTestTiles(tiles, 0, LayoutPoint{120, 1000}), 15);
  EXPECT_EQ(HitTestTiles(tiles, 0, LayoutPoint{120, 1075}), 15);
  EXPECT_EQ(HitTestTiles(tiles, 0, LayoutPoint{120, 1077}), -1);  // the gap below it
  // Slot 8 now starts at the very top (4 + 7 × 135 − 949 = 0).
  EXPECT_EQ(HitTestTiles(tiles, 0, LayoutPoint{120, 0}), 8);
  EXPECT_EQ(HitTestTiles(tiles, 0, LayoutPoint{120, 132}), -1);
  EXPECT_EQ(HitTestTiles(tiles, 0, LayoutPoint{120, 135}), 9);
  EXPECT_EQ(HitTestTiles(tiles, 0, LayoutPoint{1000, 500}), 0);
  // Where slot 1 was before scrolling there is now slot 8.
  EXPECT_EQ(HitTestTiles(tiles, 0, LayoutPoint{4, 4}), 8);
  EXPECT_LT(t[1].rect.bottom, 0);
}

TEST(LayoutStrip, ScaledForDpi) {
  // 144 dpi: strip 360, gap 6, thumbnails 348 × 196, one notch 202 pixels.
  const StripGeometry strip = ComputeStrip(1800, 1000, 144, 16);
  EXPECT_EQ(strip.column, (LayoutRect{0, 0, 360, 1000}));
  EXPECT_EQ(strip.gap, 6);
  EXPECT_EQ(strip.thumbHeight, 196);
  EXPECT_EQ(strip.maxScroll, 15 * 202 + 6 - 1000);
  EXPECT_EQ(WheelStripScroll(strip, 0, -120), 202);
  const auto end = ComputeTileTargets(1800, 1000, 144, 16, 3, false, strip.maxScroll);
  EXPECT_EQ(end[15].rect.bottom, 1000 - 6);
  // The indicator sits in the gap right of the thumbnails, clear of both.
  const LayoutRect bar = StripIndicatorRect(strip, false, 0);
  EXPECT_EQ(bar.left, 354);
  EXPECT_EQ(bar.right, 358);
  EXPECT_EQ(bar.top, 6);
  // At 96 dpi the same window height holds the first 7 of them.
  EXPECT_EQ(ComputeStrip(1800, 1000, 96, 16).maxScroll, 15 * 135 + 4 - 1000);
}

TEST(LayoutStrip, IndicatorShowsThePartInView) {
  const StripGeometry strip = ComputeStrip(1920, 1080, 96, 16);  // 2029 tall, 1080 in view
  // Track 4 … 1076 (1072), bar 1072 × 1080 / 2029 = 570.6 → 571 long, 3 wide.
  EXPECT_EQ(StripIndicatorRect(strip, false, 0), (LayoutRect{236, 4, 239, 575}));
  EXPECT_EQ(StripIndicatorRect(strip, false, strip.maxScroll), (LayoutRect{236, 505, 239, 1076}));
  const LayoutRect mid = StripIndicatorRect(strip, false, strip.maxScroll / 2);
  EXPECT_NEAR(mid.top, 4 + 501 / 2.0, 1.0);  // half-way down the free track
  EXPECT_EQ(RectHeight(mid), 571);
  EXPECT_EQ(StripIndicatorRect(strip, false, 5000),
            StripIndicatorRect(strip, false, strip.maxScroll));
  EXPECT_EQ(StripIndicatorRect(strip, true, 0), LayoutRect{});  // full-screen hides the strip

  // A tall list in a low window keeps the bar long enough to see.
  const StripGeometry low = ComputeStrip(1200, 140, 96, 16);
  const LayoutRect shortest = StripIndicatorRect(low, false, low.maxScroll);
  EXPECT_EQ(RectHeight(shortest), 16);
  EXPECT_EQ(shortest.bottom, 140 - 4);
  // No track left: no bar.
  EXPECT_EQ(StripIndicatorRect(ComputeStrip(1200, 8, 96, 16), false, 0), LayoutRect{});
}

TEST(LayoutStrip, ASlideInProgressLandsOnTheScrolledPlace) {
  // The old stage tile heads for the strip's second place when the strip
  // scrolls 100 pixels half-way through.
  TileMotion tile;
  tile.rect = R(240, 0, 1200, 700);
  StartSlide(tile, TileTarget{R(4, 139, 236, 270), true});
  AdvanceSlide(tile, 0.5);
  ShiftTile(tile, -100);
  EXPECT_EQ(tile.animTo, R(4, 39, 236, 170));
  EXPECT_EQ(tile.animFrom, R(240, -100, 1200, 600));
  AdvanceSlide(tile, 1.0);
  EXPECT_EQ(tile.rect, R(4, 39, 236, 170));
  EXPECT_FALSE(tile.animating);
  // A tile at rest just moves.
  ShiftTile(tile, 35);
  EXPECT_EQ(tile.rect, R(4, 74, 236, 205));
}
