#include "video/placement.h"

#include <cmath>

int32_t NearestInt(double value) {
  return static_cast<int32_t>(std::round(value));  // std::round: halves away from zero
}

bool PlacePicture(uint32_t pictureWidth, uint32_t pictureHeight, double uvWidth, double uvHeight,
                  int32_t left, int32_t top, int32_t right, int32_t bottom, PixelRect* out) {
  const double srcW = pictureWidth * uvWidth;
  const double srcH = pictureHeight * uvHeight;
  if (!(srcW > 0.0) || !(srcH > 0.0)) return false;
  const double tileW = static_cast<double>(right) - left;
  const double tileH = static_cast<double>(bottom) - top;
  if (!(tileW > 0.0) || !(tileH > 0.0)) return false;
  const double sx = tileW / srcW;
  const double sy = tileH / srcH;
  const double s = sy < sx ? sy : sx;
  out->x = NearestInt((tileW - s * srcW) * 0.5 + left);
  out->y = NearestInt((tileH - s * srcH) * 0.5 + top);
  out->w = NearestInt(s * srcW);
  out->h = NearestInt(s * srcH);
  return true;
}

void NavigatorViewBars(int32_t left, int32_t top, int32_t right, int32_t bottom, double viewX,
                       double viewY, double viewWidth, double viewHeight, PixelRect bars[4]) {
  const double bw = static_cast<double>(right) - left;
  const double bh = static_cast<double>(bottom) - top;
  const int32_t x0 = left + NearestInt(bw * viewX);
  const int32_t y0 = top + NearestInt(bh * viewY);
  const int32_t x1 = left + NearestInt(bw * (viewX + viewWidth));
  const int32_t y1 = top + NearestInt(bh * (viewY + viewHeight));
  bars[0] = {x0, y0, x1 - x0, 2};
  bars[1] = {x0, y1 - 2, x1 - x0, 2};
  bars[2] = {x0, y0, 2, y1 - y0};
  bars[3] = {x1 - 2, y0, 2, y1 - y0};
}

PixelRect LabelBox(int32_t tileLeft, int32_t tileTop, size_t characters) {
  PixelRect r;
  r.x = tileLeft + 4;
  r.y = tileTop + 4;
  r.w = static_cast<int32_t>(9 * characters + 10);
  r.h = 18;  // down to tile top + 22
  return r;
}

uint64_t PackResizeRequest(int32_t width, int32_t height) {
  const int32_t w = width < 8 ? 8 : width;
  const int32_t h = height < 8 ? 8 : height;
  return PackSizeWord(static_cast<uint32_t>(w), static_cast<uint32_t>(h));
}
