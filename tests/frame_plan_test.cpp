#include "video/frame_plan.h"

#include <gtest/gtest.h>

#include <set>

TEST(FramePlan, UploadNeverWritesTheDrawnOrTheNewestPicture) {
  // Every combination the renderer can be in.
  for (int drawn = -1; drawn < kUploadRingSize; ++drawn)
    for (int latest = -1; latest < kUploadRingSize; ++latest) {
      const int next = NextUploadEntry(drawn, latest);
      EXPECT_GE(next, 0);
      EXPECT_LT(next, kUploadRingSize);
      EXPECT_NE(next, drawn) << "drawn " << drawn << ", latest " << latest;
      EXPECT_NE(next, latest) << "drawn " << drawn << ", latest " << latest;
    }
  // Pictures faster than frames: while one entry stays on screen the others
  // take turns, so the newest is always complete.
  int latest = -1;
  std::set<int> used;
  for (int picture = 0; picture < 6; ++picture) {
    latest = NextUploadEntry(0, latest);
    used.insert(latest);
  }
  EXPECT_EQ(used, (std::set<int>{1, 2}));
  // A frame per picture: the ring goes round.
  latest = -1;
  int drawn = -1;
  used.clear();
  for (int picture = 0; picture < 6; ++picture) {
    latest = NextUploadEntry(drawn, latest);
    drawn = latest;
    used.insert(latest);
  }
  EXPECT_EQ(used.size(), 3u);
}

TEST(FramePlan, OnlyTilesUnderHalfThePicturesSizeUseTheReducedCopy) {
  EXPECT_FALSE(UsesReducedCopy(1.0));
  EXPECT_FALSE(UsesReducedCopy(1866.0 / 1920.0));  // the stage of a 1080p camera
  EXPECT_FALSE(UsesReducedCopy(0.5));
  EXPECT_TRUE(UsesReducedCopy(0.49));
  EXPECT_TRUE(UsesReducedCopy(234.0 / 1920.0));  // a thumbnail of a 1080p camera
  EXPECT_EQ(ReducedSide(1920), 960u);
  EXPECT_EQ(ReducedSide(1081), 541u);
  EXPECT_EQ(ReducedSide(1), 1u);
}

TEST(FramePlan, OutputFormatsAreTakenInTheDecodersOrder) {
  EXPECT_TRUE(TakesOutputFormat(OfferedFormat::kNv12, false));
  EXPECT_TRUE(TakesOutputFormat(OfferedFormat::kI420, false));
  EXPECT_TRUE(TakesOutputFormat(OfferedFormat::kYv12, false));
  EXPECT_FALSE(TakesOutputFormat(OfferedFormat::kOther, false));
  // Pictures on the GPU are copied into NV12 textures only.
  EXPECT_TRUE(TakesOutputFormat(OfferedFormat::kNv12, true));
  EXPECT_FALSE(TakesOutputFormat(OfferedFormat::kI420, true));
  EXPECT_FALSE(TakesOutputFormat(OfferedFormat::kYv12, true));
  EXPECT_EQ(LayoutOf(OfferedFormat::kI420), PlaneLayout::kI420);
  EXPECT_EQ(LayoutOf(OfferedFormat::kYv12), PlaneLayout::kYv12);
  EXPECT_EQ(LayoutOf(OfferedFormat::kNv12), PlaneLayout::kNv12);
}

TEST(FramePlan, PlanesOfEachLayoutAreFoundInsideThePicture) {
  // 1920 x 1080 decoded as 1088 rows at a pitch of 2048.
  const uint32_t pitch = 2048, rows = 1088;
  const uint64_t whole = uint64_t{pitch} * rows * 3 / 2;
  PlaneOffsets at;
  ASSERT_TRUE(LocatePlanes(PlaneLayout::kNv12, pitch, rows, 0, 0, 1920, 1080, whole, &at));
  EXPECT_EQ(at.y, 0u);
  EXPECT_EQ(at.second, size_t{pitch} * rows);
  EXPECT_EQ(at.chromaPitch, pitch);
  EXPECT_EQ(at.chromaWidth, 960u);
  EXPECT_EQ(at.chromaHeight, 540u);

  ASSERT_TRUE(LocatePlanes(PlaneLayout::kI420, pitch, rows, 0, 0, 1920, 1080, whole, &at));
  EXPECT_EQ(at.chromaPitch, pitch / 2);
  EXPECT_EQ(at.second, size_t{pitch} * rows);                                // U
  EXPECT_EQ(at.third, size_t{pitch} * rows + size_t{pitch / 2} * rows / 2);  // V
  // YV12 stores V first; the offsets still name U, then V.
  ASSERT_TRUE(LocatePlanes(PlaneLayout::kYv12, pitch, rows, 0, 0, 1920, 1080, whole, &at));
  EXPECT_EQ(at.third, size_t{pitch} * rows);
  EXPECT_EQ(at.second, size_t{pitch} * rows + size_t{pitch / 2} * rows / 2);

  // A visible area inside the picture moves every plane's start.
  ASSERT_TRUE(LocatePlanes(PlaneLayout::kI420, pitch, rows, 8, 4, 1904, 1080, whole, &at));
  EXPECT_EQ(at.y, size_t{4} * pitch + 8);
  EXPECT_EQ(at.second, size_t{pitch} * rows + 2 * (pitch / 2) + 4);
  ASSERT_TRUE(LocatePlanes(PlaneLayout::kNv12, pitch, rows, 8, 4, 1904, 1080, whole, &at));
  EXPECT_EQ(at.second, size_t{pitch} * rows + 2 * pitch + 8);
}

TEST(FramePlan, PlanesOutsideTheBufferAreRefused) {
  const uint32_t pitch = 64, rows = 48;
  const uint64_t whole = uint64_t{pitch} * rows * 3 / 2;
  PlaneOffsets at;
  for (PlaneLayout layout : {PlaneLayout::kNv12, PlaneLayout::kI420, PlaneLayout::kYv12}) {
    SCOPED_TRACE(static_cast<int>(layout));
    EXPECT_TRUE(LocatePlanes(layout, pitch, rows, 0, 0, 64, 48, whole, &at));
    EXPECT_FALSE(LocatePlanes(layout, pitch, rows, 0, 0, 64, 48, whole - 1, &at));
    EXPECT_FALSE(LocatePlanes(layout, pitch, rows, 0, 8, 64, 48, whole, &at));  // rows
    EXPECT_FALSE(LocatePlanes(layout, pitch, rows, 2, 0, 64, 48, whole, &at));  // pitch
    EXPECT_FALSE(LocatePlanes(layout, 0, rows, 0, 0, 64, 48, whole, &at));
    EXPECT_FALSE(LocatePlanes(layout, pitch, rows, 0, 0, 0, 48, whole, &at));
    EXPECT_FALSE(LocatePlanes(layout, pitch, 0xFFFFFFFFu, 0, 0, 64, 48, whole, &at));
  }
  // Half a pitch is no pitch for planes of half the width.
  EXPECT_FALSE(LocatePlanes(PlaneLayout::kI420, 63, rows, 0, 0, 62, 48, whole, &at));
}

TEST(FramePlan, NewPicturesCountOnlyForTilesOnScreen) {
  RenderScene scene;
  TileView tile;
  tile.slotIndex = 2;
  scene.tiles.push_back(tile);
  tile.slotIndex = 40;  // beyond the sixteen: never drawn
  scene.tiles.push_back(tile);
  PictureSerials serials;
  EXPECT_FALSE(NewPictureOnScreen(scene, serials));
  ++serials.taken[5];
  EXPECT_FALSE(NewPictureOnScreen(scene, serials)) << "position 5 has no tile";
  ++serials.taken[2];
  EXPECT_TRUE(NewPictureOnScreen(scene, serials));
  NoteScenePicturesDrawn(scene, serials);
  EXPECT_FALSE(NewPictureOnScreen(scene, serials));
  EXPECT_EQ(serials.drawn[5], 0u) << "a position off screen keeps its news for later";
  scene.tiles[0].slotIndex = 5;
  EXPECT_TRUE(NewPictureOnScreen(scene, serials)) << "a camera that comes on screen";

  FrameCauses causes;
  EXPECT_FALSE(FrameWanted(causes));
  for (bool FrameCauses::*cause :
       {&FrameCauses::firstFrame, &FrameCauses::sceneChanged, &FrameCauses::resized,
        &FrameCauses::redrawAsked, &FrameCauses::newPictureShown}) {
    FrameCauses one;
    one.*cause = true;
    EXPECT_TRUE(FrameWanted(one));
  }
}

TEST(FramePlan, ScenesCompareByEverythingDrawn) {
  RenderScene a;
  TileView tile;
  tile.label = L"Porch";
  a.tiles.push_back(tile);
  RenderScene b = a;
  EXPECT_TRUE(a == b);
  b.tiles[0].uvX = 0.25;  // pan
  EXPECT_FALSE(a == b);
  b = a;
  b.tiles[0].label = L"Porch 2";
  EXPECT_FALSE(a == b);
  b = a;
  b.audioMuted = true;
  EXPECT_FALSE(a == b);
  b = a;
  b.selectedSlot = 3;
  EXPECT_FALSE(a == b);
}
