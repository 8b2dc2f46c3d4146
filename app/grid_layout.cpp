#include "app/grid_layout.h"

GridGeometry ComputeGrid(int32_t clientWidth, int32_t clientHeight, int32_t dpi, int32_t count) {
  GridGeometry best;
  if (count <= 0 || clientWidth <= 0 || clientHeight <= 0) return best;
  if (count > kMaxGridTiles) count = kMaxGridTiles;
  const int32_t gap = ScaleForDpi(kThumbGap, dpi);
  for (int32_t columns = 1; columns <= count; ++columns) {
    const int32_t rows = (count + columns - 1) / columns;
    const int64_t freeWidth = int64_t{clientWidth} - int64_t{gap} * (columns + 1);
    const int64_t freeHeight = int64_t{clientHeight} - int64_t{gap} * (rows + 1);
    if (freeWidth <= 0 || freeHeight <= 0) continue;
    // The widest 16:9 tile that fits both ways.
    int64_t width = freeWidth / columns;
    const int64_t widthByHeight = freeHeight / rows * 16 / 9;
    if (widthByHeight < width) width = widthByHeight;
    const int64_t height = width * 9 / 16;
    if (width <= 0 || height <= 0 || width <= best.tileWidth) continue;
    best.columns = columns;
    best.rows = rows;
    best.tileWidth = static_cast<int32_t>(width);
    best.tileHeight = static_cast<int32_t>(height);
  }
  if (best.columns == 0) return GridGeometry();
  best.gap = gap;
  best.count = count;
  const int32_t gridWidth = best.columns * best.tileWidth + (best.columns - 1) * gap;
  const int32_t gridHeight = best.rows * best.tileHeight + (best.rows - 1) * gap;
  best.left = (clientWidth - gridWidth) / 2;
  best.top = (clientHeight - gridHeight) / 2;
  return best;
}

LayoutRect GridTileRect(const GridGeometry& grid, int32_t index) {
  if (index < 0 || index >= grid.count || grid.columns <= 0) return LayoutRect();
  const int32_t column = index % grid.columns;
  const int32_t row = index / grid.columns;
  LayoutRect r;
  r.left = grid.left + column * (grid.tileWidth + grid.gap);
  r.top = grid.top + row * (grid.tileHeight + grid.gap);
  r.right = r.left + grid.tileWidth;
  r.bottom = r.top + grid.tileHeight;
  return r;
}

int32_t GridTileAt(const GridGeometry& grid, LayoutPoint point) {
  if (grid.columns <= 0 || grid.tileWidth <= 0 || grid.tileHeight <= 0) return -1;
  const int32_t x = point.x - grid.left;
  const int32_t y = point.y - grid.top;
  if (x < 0 || y < 0) return -1;
  const int32_t pitchX = grid.tileWidth + grid.gap;
  const int32_t pitchY = grid.tileHeight + grid.gap;
  const int32_t column = x / pitchX;
  const int32_t row = y / pitchY;
  if (column >= grid.columns || row >= grid.rows) return -1;
  if (x % pitchX >= grid.tileWidth || y % pitchY >= grid.tileHeight) return -1;  // a gap
  const int32_t index = row * grid.columns + column;
  return index < grid.count ? index : -1;
}

std::vector<TileTarget> GridTileTargets(int32_t clientWidth, int32_t clientHeight, int32_t dpi,
                                        int32_t count) {
  std::vector<TileTarget> targets(static_cast<size_t>(count > 0 ? count : 0));
  const GridGeometry grid = ComputeGrid(clientWidth, clientHeight, dpi, count);
  for (size_t p = 0; p < targets.size(); ++p)
    targets[p].rect = GridTileRect(grid, static_cast<int32_t>(p));
  return targets;
}

KeyCommand CommandForKey(int32_t virtualKey, bool gridShown, int32_t cameraCount) {
  KeyCommand command;
  if (cameraCount <= 0) return command;
  if (virtualKey >= '1' && virtualKey <= '9') {
    command.camera = virtualKey - '1';
  } else if (virtualKey == '0') {
    command.camera = 9;
  }
  if (command.camera >= 0) {
    if (command.camera >= cameraCount) return KeyCommand();
    command.action = KeyAction::kSelectCamera;
    return command;
  }
  switch (virtualKey) {
    case kKeyLeft: command.action = KeyAction::kPrevious; break;
    case kKeyRight: command.action = KeyAction::kNext; break;
    // In the strip the cameras stand one above the other.
    case kKeyUp:
      if (!gridShown) command.action = KeyAction::kPrevious;
      break;
    case kKeyDown:
      if (!gridShown) command.action = KeyAction::kNext;
      break;
    case kKeyF11: command.action = KeyAction::kToggleFullScreen; break;
    case kKeyEscape: command.action = KeyAction::kLeaveFullScreen; break;
    case 'G': command.action = KeyAction::kToggleGrid; break;
    case 'M': command.action = KeyAction::kToggleMute; break;
    default: break;
  }
  return command;
}
