#pragma once
// The grid layout for wall screens: every camera in an equal 16:9 tile, as
// large as the client area allows, and the keys of the people who watch it.
// Pure functions over plain values.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/layout.h"

struct GridGeometry {
  int32_t columns = 0;
  int32_t rows = 0;
  int32_t tileWidth = 0;
  int32_t tileHeight = 0;
  int32_t left = 0;  // the first tile's top-left corner
  int32_t top = 0;
  int32_t gap = 0;  // between tiles and around the grid
  int32_t count = 0;
};

// columns x rows for count tiles (at most kMaxGridTiles) that give the largest
// tiles: 4 on a 16:9 window give 2 x 2, 16 give 4 x 4, 3 on a tall one 1 x 3.
// The grid is centred; with no room (or no tiles) every size is 0.
inline constexpr int32_t kMaxGridTiles = 16;
GridGeometry ComputeGrid(int32_t clientWidth, int32_t clientHeight, int32_t dpi, int32_t count);

// Tile `index` (row by row); an empty rectangle for an index outside the grid.
LayoutRect GridTileRect(const GridGeometry& grid, int32_t index);

// The tile under point, or -1 (a gap, the margin, outside, or an empty cell
// of the last row).
int32_t GridTileAt(const GridGeometry& grid, LayoutPoint point);

// The grid's tiles as layout targets: every tile shown, in slot order.
std::vector<TileTarget> GridTileTargets(int32_t clientWidth, int32_t clientHeight, int32_t dpi,
                                        int32_t count);

// What a key does in either layout.
enum class KeyAction : uint8_t {
  kNone,
  kSelectCamera,  // camera `camera` (0-based) of the list
  kPrevious,
  kNext,
  kToggleFullScreen,
  kLeaveFullScreen,
  kToggleGrid,
  kToggleMute,
};
struct KeyCommand {
  KeyAction action = KeyAction::kNone;
  int32_t camera = -1;
};

// Virtual-key codes as the platform numbers them.
inline constexpr int32_t kKeyEscape = 0x1B;
inline constexpr int32_t kKeyLeft = 0x25;
inline constexpr int32_t kKeyUp = 0x26;
inline constexpr int32_t kKeyRight = 0x27;
inline constexpr int32_t kKeyDown = 0x28;
inline constexpr int32_t kKeyF11 = 0x7A;

// 1-9 and 0 select cameras 1 to 10; Left/Right (and Up/Down in the strip)
// the previous and next camera; F11 toggles the full-screen camera, Escape
// leaves it; G the grid; M the sound. Nothing with no cameras.
KeyCommand CommandForKey(int32_t virtualKey, bool gridShown, int32_t cameraCount);
