// What the render thread draws in one frame: built by the layout on the UI
// thread and posted whole into the renderer (Renderer::SetScene).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TileView {
  int32_t slotIndex = 0;  // position of the slot whose picture fills this tile
  int32_t left = 0, top = 0, right = 0, bottom = 0;  // window pixels
  // Source window in texture coordinates (0, 0, 1, 1 = the whole picture).
  double uvX = 0.0, uvY = 0.0, uvWidth = 1.0, uvHeight = 1.0;
  std::wstring label;       // camera name shown in the corner
  bool showLabel = false;   // draw the label
  bool connecting = false;  // draw the "connecting…" text
  bool highlight = false;   // draw the selection border around the tile
  bool operator==(const TileView&) const = default;
};

struct RenderScene {
  std::vector<TileView> tiles;  // drawing order
  int32_t selectedSlot = -1;    // position of the slot on the stage; -1 = none
  bool navigatorVisible = false;
  int32_t navigatorLeft = 0, navigatorTop = 0, navigatorRight = 0, navigatorBottom = 0;
  // Visible part of the zoomed picture, fractions of the picture.
  double viewX = 0.0, viewY = 0.0, viewWidth = 1.0, viewHeight = 1.0;
  bool audioIconVisible = false;
  bool audioMuted = false;
  int32_t iconLeft = 0, iconTop = 0, iconRight = 0, iconBottom = 0;
  std::wstring message;  // shown in the middle of the window when there are no tiles
  // The strip's scroll indicator (window pixels), when the strip scrolls.
  bool scrollIndicatorVisible = false;
  int32_t scrollIndicatorLeft = 0, scrollIndicatorTop = 0, scrollIndicatorRight = 0,
          scrollIndicatorBottom = 0;
  bool operator==(const RenderScene&) const = default;
};
