#include "app/layout_win.h"

#include "app/app_state.h"
#include "app/grid_layout.h"
#include "app/slots_win.h"
#include "config/config_file_win.h"
#include "config/wide_text_win.h"

namespace {

LayoutRect ToLayout(const RECT& r) {
  return LayoutRect{r.left, r.top, r.right, r.bottom};
}

RECT ToRect(const LayoutRect& r) {
  return RECT{r.left, r.top, r.right, r.bottom};
}

int32_t WindowDpi() {
  return static_cast<int32_t>(GetDpiForWindow(g_app.mainWindow));
}

// Keeps `selected` on a slot; false when there are no slots.
bool ClampSelected() {
  const int32_t count = static_cast<int32_t>(g_app.slots.size());
  if (count == 0) return false;
  if (g_app.selected < 0 || g_app.selected >= count) g_app.selected = 0;
  return true;
}

Slot& SelectedSlot() {
  return *g_app.slots[static_cast<size_t>(g_app.selected)];
}

TileMotion ReadMotion(const Slot& slot) {
  TileMotion m;
  m.rect = ToLayout(slot.rect);
  m.animFrom = ToLayout(slot.animFrom);
  m.animTo = ToLayout(slot.animTo);
  m.animating = slot.animating;
  m.visible = slot.visible;
  m.hiding = slot.hiding;
  return m;
}

void WriteMotion(Slot& slot, const TileMotion& m) {
  slot.rect = ToRect(m.rect);
  slot.animFrom = ToRect(m.animFrom);
  slot.animTo = ToRect(m.animTo);
  slot.animating = m.animating;
  slot.visible = m.visible;
  slot.hiding = m.hiding;
}

bool SelectedHasAudio() {
  if (!ClampSelected()) return false;
  const Slot& slot = SelectedSlot();
  return slot.main.client != nullptr && slot.main.client->GetAudioFormat().valid;
}

// The feed whose pictures the tile draws.
Feed& ShownFeed(Slot& slot) {
  std::lock_guard<std::mutex> guard(slot.switchLock);
  return FeedOf(slot, slot.streams.hasSub ? slot.streams.shown : StreamKind::kMain);
}

TileView MakeTileView(int32_t p, Slot& slot, uint64_t now) {
  TileView tile;
  tile.slotIndex = p;
  tile.left = slot.rect.left;
  tile.top = slot.rect.top;
  tile.right = slot.rect.right;
  tile.bottom = slot.rect.bottom;
  tile.label = Widen(slot.name);
  tile.showLabel = true;
  tile.connecting =
      IsTileConnecting(ShownFeed(slot).connected.load(), g_app.renderer.GetLastFrameTick(p), now);
  return tile;
}

// The strip for the current client area and slot count.
StripGeometry CurrentStrip() {
  RECT client{0, 0, 0, 0};
  GetClientRect(g_app.mainWindow, &client);
  return ComputeStrip(client.right - client.left, client.bottom - client.top, WindowDpi(),
                      static_cast<int32_t>(g_app.slots.size()));
}

void StartAnimationTimer() {
  SetTimer(g_app.mainWindow, kAnimationTimerId, kAnimationTimerMs, nullptr);
}

}  // namespace

void LayoutTiles(bool animate) {
  RECT client{0, 0, 0, 0};
  GetClientRect(g_app.mainWindow, &client);
  if (!ClampSelected()) {
    PublishScene();
    return;
  }
  const int32_t count = static_cast<int32_t>(g_app.slots.size());
  const int32_t width = client.right - client.left;
  const int32_t height = client.bottom - client.top;
  const int32_t dpi = WindowDpi();
  // The strip stays where the user left it, as far as the list and the
  // window's height allow (also while full-screen hides it).
  g_app.stripScroll = ClampStripScroll(ComputeStrip(width, height, dpi, count), g_app.stripScroll);
  const std::vector<TileTarget> targets =
      GridShown() ? GridTileTargets(width, height, dpi, count)
                  : ComputeTileTargets(width, height, dpi, count, g_app.selected, g_app.fullScreen,
                                       g_app.stripScroll);

  if (!animate) {
    g_app.layoutAnimating = false;
    for (size_t p = 0; p < g_app.slots.size(); ++p) {
      TileMotion m = ReadMotion(*g_app.slots[p]);
      PlaceTile(m, targets[p]);
      WriteMotion(*g_app.slots[p], m);
    }
  } else {
    for (size_t p = 0; p < g_app.slots.size(); ++p) {
      TileMotion m = ReadMotion(*g_app.slots[p]);
      StartSlide(m, targets[p]);
      WriteMotion(*g_app.slots[p], m);
    }
    g_app.layoutAnimating = true;
    g_app.layoutStartTick = GetTickCount64();
    StartAnimationTimer();
  }
  PublishScene();
  UpdateStreams();
}

void OnAnimationTimer() {
  const uint64_t now = GetTickCount64();
  bool sliding = false;
  if (g_app.layoutAnimating) {
    const double t = AnimationProgress(now, g_app.layoutStartTick, kSlideMs);
    for (Slot* slot : g_app.slots) {
      if (!slot->animating) continue;
      TileMotion m = ReadMotion(*slot);
      AdvanceSlide(m, t);
      WriteMotion(*slot, m);
    }
    if (t >= 1.0) {
      g_app.layoutAnimating = false;
    } else {
      sliding = true;
    }
  }

  if (!g_app.zoomAnimating) {
    PublishScene();
    if (!sliding) KillTimer(g_app.mainWindow, kAnimationTimerId);
    return;
  }

  const double t = AnimationProgress(now, g_app.zoomStartTick, kZoomMs);
  g_app.zoom = g_app.zoomFrom + (g_app.zoomTo - g_app.zoomFrom) * EaseOutCubic(t);
  const ViewGeometry g = ComputeViewGeometry();
  if (g.valid) {
    ZoomAnchor anchor;
    anchor.tileX = g_app.anchorX;
    anchor.tileY = g_app.anchorY;
    anchor.videoX = g_app.anchorVideoX;
    anchor.videoY = g_app.anchorVideoY;
    const PanCentre pan = AnchoredPan(g, g_app.zoom, anchor);
    g_app.panX = pan.x;
    g_app.panY = pan.y;
  }
  if (t < 1.0) {
    PublishScene();
    return;
  }

  g_app.zoomAnimating = false;
  g_app.zoom = g_app.zoomTo;
  if (!IsZoomed(g_app.zoomTo)) {
    g_app.zoom = 1.0;
    g_app.panX = 0.5;
    g_app.panY = 0.5;
  }
  StoreViewState();
  SaveConfig(g_app.config);
  PublishScene();
  if (!sliding) KillTimer(g_app.mainWindow, kAnimationTimerId);
}

void PublishScene() {
  RenderScene scene;
  if (!ClampSelected()) {
    scene.message = L"No cameras configured.\nRight-click and choose Settings\u2026";
    g_app.renderer.SetScene(scene);
    return;
  }
  const uint64_t now = GetTickCount64();
  const int32_t selected = g_app.selected;
  for (size_t p = 0; p < g_app.slots.size(); ++p) {
    Slot& slot = *g_app.slots[p];
    if (static_cast<int32_t>(p) == selected || !slot.visible) continue;
    scene.tiles.push_back(MakeTileView(static_cast<int32_t>(p), slot, now));
  }

  // The selected tile last, so it is drawn over thumbnails sliding across it.
  TileView stage = MakeTileView(selected, SelectedSlot(), now);
  scene.selectedSlot = selected;
  const bool grid = GridShown();
  // In the grid the selected camera is a tile like the others, marked by its
  // border; zoom belongs to the camera shown alone.
  stage.showLabel = grid;
  stage.highlight = grid;
  const ViewGeometry g = ComputeViewGeometry();
  if (!grid && IsZoomed(g_app.zoom) && g.valid) {
    const ViewFractions view = VisibleFractions(g);
    stage.uvX = view.x;
    stage.uvY = view.y;
    stage.uvWidth = view.width;
    stage.uvHeight = view.height;

    const RECT nav = NavigatorRect();
    scene.navigatorVisible = true;
    scene.navigatorLeft = nav.left;
    scene.navigatorTop = nav.top;
    scene.navigatorRight = nav.right;
    scene.navigatorBottom = nav.bottom;
    scene.viewX = view.x;
    scene.viewY = view.y;
    scene.viewWidth = view.width;
    scene.viewHeight = view.height;
  }
  scene.tiles.push_back(std::move(stage));

  const LayoutRect bar = StripIndicatorRect(CurrentStrip(), g_app.fullScreen, g_app.stripScroll);
  if (!grid && RectHeight(bar) > 0 && RectWidth(bar) > 0) {
    scene.scrollIndicatorVisible = true;
    scene.scrollIndicatorLeft = bar.left;
    scene.scrollIndicatorTop = bar.top;
    scene.scrollIndicatorRight = bar.right;
    scene.scrollIndicatorBottom = bar.bottom;
  }

  if (SelectedHasAudio()) {
    const RECT icon = AudioIconRect();
    scene.audioIconVisible = true;
    scene.audioMuted = g_app.config.Muted;
    scene.iconLeft = icon.left;
    scene.iconTop = icon.top;
    scene.iconRight = icon.right;
    scene.iconBottom = icon.bottom;
  }
  g_app.renderer.SetScene(scene);
}

ViewGeometry ComputeViewGeometry() {
  if (!ClampSelected()) return ViewGeometry{};
  const VideoSize size = g_app.renderer.GetVideoSize(g_app.selected);
  return ComputeViewGeometry(size.width, size.height, ToLayout(SelectedSlot().rect), g_app.zoom,
                             g_app.panX, g_app.panY);
}

int HitTestTile(POINT point) {
  std::vector<HitTile> tiles;
  tiles.reserve(g_app.slots.size());
  for (const Slot* slot : g_app.slots)
    tiles.push_back(HitTile{ToLayout(slot->rect), slot->visible});
  return HitTestTiles(tiles, g_app.selected, LayoutPoint{point.x, point.y});
}

RECT NavigatorRect() {
  if (!ClampSelected()) return RECT{0, 0, 0, 0};
  const VideoSize size = g_app.renderer.GetVideoSize(g_app.selected);
  return ToRect(
      NavigatorRectFor(ToLayout(SelectedSlot().rect), size.width, size.height, WindowDpi()));
}

RECT AudioIconRect() {
  if (!ClampSelected()) return RECT{0, 0, 0, 0};
  return ToRect(AudioIconRectFor(ToLayout(SelectedSlot().rect), WindowDpi()));
}

bool IsNavigatorActive() {
  return !g_app.slots.empty() && !GridShown() && IsZoomed(g_app.zoom);
}

bool GridShown() {
  return g_app.config.GridLayout && !g_app.fullScreen;
}

bool IsAudioIconActive() {
  return SelectedHasAudio();
}

void DragNavigator(POINT point) {
  PanCentre pan{g_app.panX, g_app.panY};
  if (!NavigatorPan(ToLayout(NavigatorRect()), LayoutPoint{point.x, point.y}, pan)) return;
  g_app.panX = pan.x;
  g_app.panY = pan.y;
  PublishScene();
}

void MouseWheel(POINT screenPoint, int delta) {
  if (!ClampSelected() || GridShown()) return;
  POINT p = screenPoint;
  ScreenToClient(g_app.mainWindow, &p);
  const RECT tile = SelectedSlot().rect;
  if (PtInRect(&tile, p)) {
    WheelZoom(screenPoint, delta);
  } else {
    ScrollStrip(p, delta);
  }
}

bool ScrollStrip(POINT point, int delta) {
  if (!ClampSelected()) return false;
  const StripGeometry strip = CurrentStrip();
  if (!StripTakesWheel(strip, g_app.fullScreen, LayoutPoint{point.x, point.y})) return false;
  const int32_t from = ClampStripScroll(strip, g_app.stripScroll);
  const int32_t to = WheelStripScroll(strip, from, delta);
  g_app.stripScroll = to;
  if (to != from) {
    for (size_t p = 0; p < g_app.slots.size(); ++p) {
      if (static_cast<int32_t>(p) == g_app.selected) continue;
      TileMotion m = ReadMotion(*g_app.slots[p]);
      ShiftTile(m, from - to);
      WriteMotion(*g_app.slots[p], m);
    }
  }
  PublishScene();
  return true;
}

void WheelZoom(POINT screenPoint, int delta) {
  if (!ClampSelected()) return;
  POINT p = screenPoint;
  ScreenToClient(g_app.mainWindow, &p);
  const RECT tile = SelectedSlot().rect;
  if (!PtInRect(&tile, p)) return;  // only the selected tile zooms

  const double base = g_app.zoomAnimating ? g_app.zoomTo : g_app.zoom;
  const double z = WheelZoomTarget(base, delta);
  const ViewGeometry g = ComputeViewGeometry();
  if (!g.valid) {
    // No picture yet: the zoom takes effect at once and waits for pictures.
    // A zoom animation still running would overwrite it, so it ends here.
    g_app.zoom = z;
    g_app.zoomAnimating = false;
    PublishScene();
    return;
  }
  const ZoomAnchor anchor = MakeZoomAnchor(g, LayoutPoint{p.x - tile.left, p.y - tile.top});
  g_app.anchorX = anchor.tileX;
  g_app.anchorY = anchor.tileY;
  g_app.anchorVideoX = anchor.videoX;
  g_app.anchorVideoY = anchor.videoY;
  g_app.zoomAnimating = true;
  g_app.zoomTo = z;
  g_app.zoomFrom = g_app.zoom;
  g_app.zoomStartTick = GetTickCount64();
  StartAnimationTimer();
}

void PanWithCursor() {
  POINT cur{0, 0};
  if (!GetCursorPos(&cur)) return;
  if (ClampSelected()) {
    const VideoSize size = g_app.renderer.GetVideoSize(g_app.selected);
    const PanCentre pan = PanStep(size.width, size.height, ToLayout(SelectedSlot().rect),
                                  g_app.zoom, PanCentre{g_app.panX, g_app.panY},
                                  cur.x - g_app.lastCursor.x, cur.y - g_app.lastCursor.y);
    g_app.panX = pan.x;
    g_app.panY = pan.y;
    PublishScene();
  }
  g_app.lastCursor = cur;
}

void StoreViewState() {
  if (!ClampSelected()) return;
  Slot& slot = SelectedSlot();
  slot.zoom = g_app.zoom;
  slot.panX = g_app.panX;
  slot.panY = g_app.panY;
  if (slot.configIndex >= 0 &&
      static_cast<size_t>(slot.configIndex) < g_app.config.Cameras.size()) {
    CameraEntry& entry = g_app.config.Cameras[static_cast<size_t>(slot.configIndex)];
    entry.Zoom = g_app.zoom;
    entry.PanX = g_app.panX;
    entry.PanY = g_app.panY;
  }
}

void LoadViewState() {
  if (!ClampSelected()) {
    g_app.zoom = 1.0;
    g_app.panX = 0.5;
    g_app.panY = 0.5;
    return;
  }
  const Slot& slot = SelectedSlot();
  const ViewValues view = SanitizeView(slot.zoom, slot.panX, slot.panY);
  g_app.zoom = view.zoom;
  g_app.panX = view.pan.x;
  g_app.panY = view.pan.y;
}
