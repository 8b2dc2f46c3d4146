#include "app/grid_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

TEST(GridLayout, ColumnsAndRowsGiveTheLargestTiles) {
  const struct {
    int32_t w, h, count, columns, rows;
  } cases[] = {
      {1920, 1080, 1, 1, 1},  {1920, 1080, 2, 2, 1},  {1920, 1080, 4, 2, 2}, {1920, 1080, 9, 3, 3},
      {1920, 1080, 16, 4, 4}, {1920, 1050, 16, 4, 4}, {1920, 1080, 5, 3, 2}, {1920, 1080, 7, 3, 3},
      {600, 1200, 3, 1, 3},   {600, 1200, 4, 1, 4},   {1000, 1000, 4, 2, 2}, {3840, 600, 3, 3, 1},
  };
  for (const auto& c : cases) {
    const GridGeometry g = ComputeGrid(c.w, c.h, 96, c.count);
    EXPECT_EQ(g.columns, c.columns) << c.count << " on " << c.w << "x" << c.h;
    EXPECT_EQ(g.rows, c.rows) << c.count << " on " << c.w << "x" << c.h;
  }
  // Sixteen at most; nothing without room or tiles.
  EXPECT_EQ(ComputeGrid(1920, 1080, 96, 40).count, 16);
  EXPECT_EQ(ComputeGrid(1920, 1080, 96, 0).columns, 0);
  EXPECT_EQ(ComputeGrid(0, 1080, 96, 4).tileWidth, 0);
  EXPECT_EQ(ComputeGrid(6, 6, 96, 16).tileWidth, 0);
}

TEST(GridLayout, TilesAreEqualSixteenByNineInsideAndCentred) {
  for (const auto size : {std::make_pair(1920, 1050), std::make_pair(1000, 1000),
                          std::make_pair(600, 1200), std::make_pair(1366, 705)}) {
    for (int32_t count = 1; count <= 16; ++count) {
      for (int32_t dpi : {96, 144}) {
        SCOPED_TRACE(testing::Message() << count << " on " << size.first << "x" << size.second
                                        << " at " << dpi << " dpi");
        const GridGeometry g = ComputeGrid(size.first, size.second, dpi, count);
        ASSERT_GT(g.tileWidth, 0);
        EXPECT_NEAR(g.tileWidth * 9.0 / 16.0, g.tileHeight, 1.0);
        EXPECT_EQ(g.gap, dpi == 96 ? 4 : 6);
        EXPECT_GE(g.columns * g.rows, count);
        EXPECT_LT((g.columns - 1) * g.rows, count) << "no empty column";
        LayoutRect all = GridTileRect(g, 0);
        for (int32_t i = 0; i < count; ++i) {
          const LayoutRect r = GridTileRect(g, i);
          EXPECT_EQ(RectWidth(r), g.tileWidth);
          EXPECT_EQ(RectHeight(r), g.tileHeight);
          EXPECT_GE(r.left, 0);
          EXPECT_GE(r.top, 0);
          EXPECT_LE(r.right, size.first);
          EXPECT_LE(r.bottom, size.second);
          all.right = std::max(all.right, r.right);
          all.bottom = std::max(all.bottom, r.bottom);
        }
        EXPECT_LE(std::abs(all.left - (size.first - all.right)), 1) << "centred across";
        EXPECT_LE(std::abs(all.top - (size.second - all.bottom)), 1) << "centred down";
      }
    }
  }
}

TEST(GridLayout, HitTestsFindTilesButNotGapsOrEmptyCells) {
  const GridGeometry g = ComputeGrid(1920, 1080, 96, 7);  // 3 x 3, two cells empty
  ASSERT_EQ(g.columns, 3);
  for (int32_t i = 0; i < 7; ++i) {
    const LayoutRect r = GridTileRect(g, i);
    EXPECT_EQ(GridTileAt(g, {r.left, r.top}), i);
    EXPECT_EQ(GridTileAt(g, {r.right - 1, r.bottom - 1}), i);
    EXPECT_EQ(GridTileAt(g, {r.right, r.top}), -1) << "the gap right of tile " << i;
    EXPECT_EQ(GridTileAt(g, {r.left, r.bottom}), -1) << "the gap below tile " << i;
  }
  const LayoutRect last = GridTileRect(g, 6);
  EXPECT_EQ(GridTileAt(g, {last.right + g.gap + 5, last.top + 5}), -1) << "an empty cell";
  EXPECT_EQ(GridTileAt(g, {g.left - 1, g.top}), -1);
  EXPECT_EQ(GridTileAt(g, {5000, 5000}), -1);
  EXPECT_EQ(RectWidth(GridTileRect(g, 7)), 0);
  EXPECT_EQ(RectWidth(GridTileRect(g, -1)), 0);
}

TEST(GridLayout, TargetsAreTheGridTilesAllShown) {
  const std::vector<TileTarget> targets = GridTileTargets(1920, 1050, 96, 5);
  const GridGeometry grid = ComputeGrid(1920, 1050, 96, 5);
  ASSERT_EQ(targets.size(), 5u);
  for (int32_t i = 0; i < 5; ++i) {
    EXPECT_TRUE(targets[static_cast<size_t>(i)].shown);
    const LayoutRect want = GridTileRect(grid, i);
    const LayoutRect& got = targets[static_cast<size_t>(i)].rect;
    EXPECT_EQ(got.left, want.left);
    EXPECT_EQ(got.top, want.top);
    EXPECT_EQ(got.right, want.right);
    EXPECT_EQ(got.bottom, want.bottom);
  }
  EXPECT_TRUE(GridTileTargets(1920, 1050, 96, 0).empty());
  // No room: every tile is there, empty, rather than missing.
  EXPECT_EQ(GridTileTargets(4, 4, 96, 3).size(), 3u);
}

TEST(GridLayout, KeysSelectCamerasAndToggleTheViews) {
  const auto action = [](int32_t key, bool grid, int32_t count) {
    return CommandForKey(key, grid, count).action;
  };
  EXPECT_EQ(CommandForKey('1', false, 3).camera, 0);
  EXPECT_EQ(CommandForKey('3', true, 3).camera, 2);
  EXPECT_EQ(action('4', false, 3), KeyAction::kNone) << "no fourth camera";
  EXPECT_EQ(CommandForKey('0', false, 10).camera, 9);
  EXPECT_EQ(action('0', false, 9), KeyAction::kNone);
  EXPECT_EQ(action(kKeyLeft, true, 2), KeyAction::kPrevious);
  EXPECT_EQ(action(kKeyRight, false, 2), KeyAction::kNext);
  EXPECT_EQ(action(kKeyUp, false, 2), KeyAction::kPrevious);
  EXPECT_EQ(action(kKeyDown, false, 2), KeyAction::kNext);
  EXPECT_EQ(action(kKeyUp, true, 2), KeyAction::kNone) << "the grid has rows: Up is not previous";
  EXPECT_EQ(action(kKeyF11, false, 1), KeyAction::kToggleFullScreen);
  EXPECT_EQ(action(kKeyEscape, true, 1), KeyAction::kLeaveFullScreen);
  EXPECT_EQ(action('G', false, 1), KeyAction::kToggleGrid);
  EXPECT_EQ(action('M', true, 1), KeyAction::kToggleMute);
  EXPECT_EQ(action('X', false, 4), KeyAction::kNone);
  // An empty camera list: no key does anything.
  for (int32_t key :
       {int32_t{'1'}, int32_t{'0'}, int32_t{'G'}, int32_t{'M'}, kKeyF11, kKeyEscape, kKeyLeft})
    EXPECT_EQ(action(key, false, 0), KeyAction::kNone) << key;
}
