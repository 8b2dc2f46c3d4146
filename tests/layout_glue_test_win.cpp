// The layout glue over AppState with a real (hidden) window and slots that
// have no stream client and no picture.
#include "app/app_state.h"
#include "app/layout_win.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

LRESULT CALLBACK PlainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

// A hidden popup window of client size 1200 × 700 at (50, 60) standing in for
// the main window, and three slots named a, b, c over three camera entries.
class LayoutGlue : public testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSW wc{};
    wc.lpfnWndProc = PlainWndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TavikLayoutGlueTest";
    RegisterClassW(&wc);
    window_ = CreateWindowExW(0, wc.lpszClassName, L"layout", WS_POPUP, 50, 60, 1200, 700, nullptr,
                              nullptr, wc.hInstance, nullptr);
    ASSERT_NE(window_, nullptr);
    saved_ = g_app.config;
    g_app.mainWindow = window_;
    g_app.config.Cameras.clear();
    const char* names[] = {"a", "b", "c"};
    for (int i = 0; i < 3; ++i) {
      g_app.config.Cameras.push_back(CameraEntry{names[i], "rtsp://127.0.0.1:9/x", 1.0, 0.5, 0.5});
      Slot* slot = new Slot;
      slot->name = names[i];
      slot->configIndex = i;
      g_app.slots.push_back(slot);
    }
    g_app.selected = 1;
    g_app.fullScreen = false;
    g_app.zoom = 1.0;
    g_app.panX = g_app.panY = 0.5;
    g_app.zoomAnimating = g_app.layoutAnimating = false;
    g_app.stripScroll = 0;
  }

  void TearDown() override {
    for (Slot* slot : g_app.slots) delete slot;
    g_app.slots.clear();
    g_app.selected = 0;
    g_app.fullScreen = false;
    g_app.zoomAnimating = g_app.layoutAnimating = false;
    g_app.stripScroll = 0;
    g_app.config = saved_;
    if (window_) DestroyWindow(window_);
    g_app.mainWindow = nullptr;
  }

  // Drives the animation timer until the slide has ended (generous limit).
  bool RunSlideToEnd() {
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (g_app.layoutAnimating && GetTickCount64() < deadline) {
      Sleep(15);
      OnAnimationTimer();
    }
    return !g_app.layoutAnimating;
  }

  // Slots without camera entries up to count.
  void GrowTo(size_t count) {
    while (g_app.slots.size() < count) {
      Slot* slot = new Slot;
      slot->name = "cam" + std::to_string(g_app.slots.size());
      g_app.slots.push_back(slot);
    }
  }

  void WheelAt(int x, int y, int delta) {
    POINT p{x, y};
    ClientToScreen(window_, &p);
    MouseWheel(p, delta);
  }

  LayoutRect Rect(int p) const {
    const RECT& r = g_app.slots[static_cast<size_t>(p)]->rect;
    return LayoutRect{r.left, r.top, r.right, r.bottom};
  }

  HWND window_ = nullptr;
  AppConfig saved_;
};

}  // namespace

TEST_F(LayoutGlue, PlacesSlidesAndHitTestsTheTiles) {
  const int32_t dpi = static_cast<int32_t>(GetDpiForWindow(window_));
  const auto targets = ComputeTileTargets(1200, 700, dpi, 3, 1, false);
  LayoutTiles(false);
  for (int p = 0; p < 3; ++p) EXPECT_EQ(Rect(p), targets[static_cast<size_t>(p)].rect) << p;
  EXPECT_FALSE(g_app.layoutAnimating);
  const RECT thumb0 = g_app.slots[0]->rect;
  EXPECT_EQ(HitTestTile(POINT{thumb0.left, thumb0.top}), 0);
  EXPECT_EQ(HitTestTile(POINT{thumb0.right, thumb0.top}), -1);  // the gap beside the strip
  EXPECT_EQ(HitTestTile(POINT{1199, 699}), 1);

  // Full-screen: the thumbnails slide out and stop being hit.
  g_app.fullScreen = true;
  LayoutTiles(true);
  EXPECT_TRUE(g_app.layoutAnimating);
  EXPECT_TRUE(g_app.slots[0]->animating && g_app.slots[0]->hiding);
  ASSERT_TRUE(RunSlideToEnd());
  EXPECT_FALSE(g_app.slots[0]->visible);
  EXPECT_FALSE(g_app.slots[2]->visible);
  EXPECT_EQ(Rect(1), (LayoutRect{0, 0, 1200, 700}));
  EXPECT_LT(g_app.slots[0]->rect.right, 0);
  EXPECT_EQ(HitTestTile(POINT{thumb0.left + 1, thumb0.top + 1}), 1);

  // Back to the strip: they slide in from the left and land on their targets.
  g_app.fullScreen = false;
  LayoutTiles(true);
  EXPECT_TRUE(g_app.slots[0]->visible);
  EXPECT_LT(g_app.slots[0]->rect.right, 0);
  ASSERT_TRUE(RunSlideToEnd());
  for (int p = 0; p < 3; ++p) EXPECT_EQ(Rect(p), targets[static_cast<size_t>(p)].rect) << p;

  // An out-of-range selection is brought back to the first slot.
  g_app.selected = 7;
  LayoutTiles(false);
  EXPECT_EQ(g_app.selected, 0);
}

TEST_F(LayoutGlue, ViewStateGoesToTheSlotAndItsEntry) {
  LayoutTiles(false);
  g_app.zoom = 2.5;
  g_app.panX = 0.25;
  g_app.panY = 0.75;
  StoreViewState();
  EXPECT_EQ(g_app.slots[1]->zoom, 2.5);
  EXPECT_EQ(g_app.config.Cameras[1].Zoom, 2.5);
  EXPECT_EQ(g_app.config.Cameras[1].PanX, 0.25);
  EXPECT_EQ(g_app.config.Cameras[1].PanY, 0.75);
  EXPECT_EQ(g_app.config.Cameras[0].Zoom, 1.0);

  // A slot whose entry is gone keeps the values to itself.
  g_app.selected = 2;
  g_app.slots[2]->configIndex = 9;
  StoreViewState();
  EXPECT_EQ(g_app.slots[2]->zoom, 2.5);
  EXPECT_EQ(g_app.config.Cameras[2].Zoom, 1.0);

  g_app.selected = 0;
  g_app.slots[0]->zoom = std::nan("");
  g_app.slots[0]->panX = 3.0;
  LoadViewState();
  EXPECT_EQ(g_app.zoom, 1.0);
  EXPECT_EQ(g_app.panX, 1.0);
  g_app.selected = 1;
  LoadViewState();
  EXPECT_EQ(g_app.zoom, 2.5);
  EXPECT_EQ(g_app.panY, 0.75);
}

TEST_F(LayoutGlue, WheelWithoutPictureZoomsAtOnceOnTheSelectedTileOnly) {
  LayoutTiles(false);
  auto wheelAt = [this](int x, int y, int delta) {
    POINT p{x, y};
    ClientToScreen(window_, &p);
    WheelZoom(p, delta);
  };
  wheelAt(10, 10, 120);  // over a thumbnail
  EXPECT_EQ(g_app.zoom, 1.0);
  wheelAt(600, 350, 120);
  EXPECT_EQ(g_app.zoom, 1.25);
  EXPECT_FALSE(g_app.zoomAnimating);
  EXPECT_TRUE(IsNavigatorActive());
  for (int i = 0; i < 12; ++i) wheelAt(600, 350, 120);
  EXPECT_EQ(g_app.zoom, 10.0);
  for (int i = 0; i < 20; ++i) wheelAt(600, 350, -120);
  EXPECT_EQ(g_app.zoom, 1.0);
  EXPECT_FALSE(IsNavigatorActive());

  // No picture: the navigator uses 16:9 and the drag inside it sets the pan.
  const RECT nav = NavigatorRect();
  EXPECT_EQ(nav.right, 1200 - ScaleForDpi(kOverlayMargin, GetDpiForWindow(window_)));
  DragNavigator(POINT{nav.left, nav.bottom + 40});
  EXPECT_EQ(g_app.panX, 0.0);
  EXPECT_EQ(g_app.panY, 1.0);
  EXPECT_FALSE(IsAudioIconActive());
}

TEST_F(LayoutGlue, NoSlotsGiveEmptyBoxesAndNoHits) {
  for (Slot* slot : g_app.slots) delete slot;
  g_app.slots.clear();
  LayoutTiles(true);  // publishes the no-cameras scene
  EXPECT_FALSE(g_app.layoutAnimating);
  const RECT nav = NavigatorRect();
  const RECT icon = AudioIconRect();
  EXPECT_TRUE(IsRectEmpty(&nav));
  EXPECT_TRUE(IsRectEmpty(&icon));
  EXPECT_EQ(HitTestTile(POINT{5, 5}), -1);
  EXPECT_FALSE(ComputeViewGeometry().valid);
  POINT p{100, 100};
  WheelZoom(p, 120);
  EXPECT_EQ(g_app.zoom, 1.0);
  LoadViewState();
  EXPECT_EQ(g_app.panX, 0.5);
}

TEST_F(LayoutGlue, WheelOverAFullStripScrollsItAndClicksFollow) {
  GrowTo(16);
  g_app.selected = 0;
  LayoutTiles(false);
  const int32_t dpi = static_cast<int32_t>(GetDpiForWindow(window_));
  const StripGeometry strip = ComputeStrip(1200, 700, dpi, 16);
  ASSERT_GT(strip.maxScroll, 0);
  const int32_t x = strip.column.right / 2;

  // The stage still zooms, and the strip is not moved by it.
  WheelAt(600, 350, 120);
  EXPECT_EQ(g_app.zoom, 1.25);
  EXPECT_EQ(g_app.stripScroll, 0);
  g_app.zoom = 1.0;

  // One notch towards the user moves the thumbnails up by one place.
  const LayoutRect first = Rect(1);
  WheelAt(x, 300, -120);
  EXPECT_EQ(g_app.stripScroll, strip.thumbHeight + strip.gap);
  EXPECT_EQ(Rect(1).top, first.top - strip.thumbHeight - strip.gap);
  EXPECT_EQ(HitTestTile(POINT{x, first.top + 1}), 2);
  EXPECT_EQ(g_app.zoom, 1.0);

  // Many notches stop with the sixteenth camera fully in view; it is hit.
  for (int i = 0; i < 30; ++i) WheelAt(x, 300, -120);
  EXPECT_EQ(g_app.stripScroll, strip.maxScroll);
  EXPECT_EQ(Rect(15).bottom, 700 - strip.gap);
  EXPECT_EQ(HitTestTile(POINT{x, (Rect(15).top + Rect(15).bottom) / 2}), 15);

  // A new selection keeps the strip where it is; a notch up in mid-slide
  // still brings every thumbnail to its scrolled place.
  g_app.selected = 15;
  LayoutTiles(true);
  EXPECT_EQ(g_app.stripScroll, strip.maxScroll);
  EXPECT_TRUE(g_app.slots[0]->animating);
  WheelAt(x, 300, 120);
  const int32_t scroll = strip.maxScroll - strip.thumbHeight - strip.gap;
  EXPECT_EQ(g_app.stripScroll, scroll);
  ASSERT_TRUE(RunSlideToEnd());
  const auto targets = ComputeTileTargets(1200, 700, dpi, 16, 15, false, scroll);
  for (int p = 0; p < 16; ++p) EXPECT_EQ(Rect(p), targets[static_cast<size_t>(p)].rect) << p;

  // Full-screen: the wheel over where the strip was zooms instead, and the
  // strip is found where it was left when full-screen ends.
  g_app.fullScreen = true;
  LayoutTiles(false);
  WheelAt(x, 300, 120);
  EXPECT_EQ(g_app.stripScroll, scroll);
  EXPECT_EQ(g_app.zoom, 1.25);
  g_app.zoom = 1.0;
  g_app.fullScreen = false;
  LayoutTiles(false);
  EXPECT_EQ(Rect(0), targets[0].rect);

  // A taller window, then a shorter list, clamp the offset.
  SetWindowPos(window_, nullptr, 0, 0, 1200, 1500, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  LayoutTiles(false);
  EXPECT_EQ(g_app.stripScroll, ComputeStrip(1200, 1500, dpi, 16).maxScroll);
  EXPECT_EQ(Rect(14).bottom, 1500 - strip.gap);
  while (g_app.slots.size() > 6) {
    delete g_app.slots.back();
    g_app.slots.pop_back();
  }
  g_app.selected = 0;
  LayoutTiles(false);
  EXPECT_EQ(g_app.stripScroll, 0);
  EXPECT_EQ(Rect(1).top, strip.gap);
  // Everything fits: the wheel over the strip does nothing.
  WheelAt(x, 300, -120);
  EXPECT_EQ(g_app.stripScroll, 0);
  EXPECT_EQ(Rect(1).top, strip.gap);
}
