#include "app/layout.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Clamp that sends NaN to the lower bound (a clamp of NaN would stay NaN).
double ClampValue(double v, double lo, double hi) {
  if (!(v >= lo)) return lo;
  if (v > hi) return hi;
  return v;
}

int32_t Saturate(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// a × b / c rounded to nearest, for a, b ≥ 0 and c > 0 with a product that
// fits in 64 bits.
int64_t ScaleRounded(int64_t a, int64_t b, int64_t c) {
  return (a * b + c / 2) / c;
}

int32_t VideoDimension(uint32_t v) {
  return static_cast<int32_t>(std::min<uint32_t>(v, std::numeric_limits<int32_t>::max()));
}

}  // namespace

int32_t MulDivRound(int32_t number, int32_t numerator, int32_t denominator) {
  if (denominator == 0) return -1;
  int64_t a = number;
  int64_t b = numerator;
  int64_t c = denominator;
  if (c < 0) {
    a = -a;
    c = -c;
  }
  const int64_t product = a * b;
  const bool positive = (a < 0 && b < 0) || (a >= 0 && b >= 0);
  const int64_t result = positive ? (product + c / 2) / c : (product - c / 2) / c;
  if (result > 2147483647 || result < -2147483647) return -1;
  return static_cast<int32_t>(result);
}

int32_t ScaleForDpi(int32_t value, int32_t dpi) {
  return MulDivRound(value, dpi > 0 ? dpi : 96, 96);
}

bool RectContains(const LayoutRect& rect, LayoutPoint point) {
  return point.x >= rect.left && point.x < rect.right && point.y >= rect.top &&
         point.y < rect.bottom;
}

int32_t RectWidth(const LayoutRect& rect) {
  return Saturate(int64_t{rect.right} - rect.left);
}

int32_t RectHeight(const LayoutRect& rect) {
  return Saturate(int64_t{rect.bottom} - rect.top);
}

LayoutRect MoveRectLeft(const LayoutRect& rect, int32_t by) {
  return LayoutRect{Saturate(int64_t{rect.left} - by), rect.top, Saturate(int64_t{rect.right} - by),
                    rect.bottom};
}

StripGeometry ComputeStrip(int32_t clientWidth, int32_t clientHeight, int32_t dpi, int32_t count) {
  StripGeometry s;
  const int32_t stripWidth = std::min(clientWidth / 3, ScaleForDpi(kStripMaxWidth, dpi));
  s.column = LayoutRect{0, 0, stripWidth, clientHeight};
  s.gap = ScaleForDpi(kThumbGap, dpi);
  s.thumbWidth = stripWidth - 2 * s.gap;
  s.thumbHeight = MulDivRound(s.thumbWidth, 9, 16);
  s.thumbCount = count >= 2 ? count - 1 : 0;
  s.indicatorWidth = std::max(1, s.gap - ScaleForDpi(1, dpi));
  s.indicatorMinLength = ScaleForDpi(kScrollThumbMin, dpi);
  if (s.thumbCount > 0 && s.thumbHeight > 0) {
    // Thumbnail k (from 0) spans gap + k × step to (k + 1) × step, so the
    // last one ends at thumbCount × step.
    const int64_t step = int64_t{s.thumbHeight} + s.gap;
    const int64_t lastBottom = step * s.thumbCount;
    if (lastBottom > clientHeight) s.maxScroll = Saturate(lastBottom + s.gap - clientHeight);
  }
  return s;
}

int32_t ClampStripScroll(const StripGeometry& strip, int32_t scroll) {
  return std::clamp(scroll, 0, std::max(strip.maxScroll, 0));
}

bool StripTakesWheel(const StripGeometry& strip, bool fullScreen, LayoutPoint point) {
  return !fullScreen && strip.thumbCount > 0 && strip.maxScroll > 0 &&
         RectContains(strip.column, point);
}

int32_t WheelStripScroll(const StripGeometry& strip, int32_t scroll, int32_t delta) {
  const int64_t step = int64_t{strip.thumbHeight} + strip.gap;
  // Towards zero for partial notches of either sign, so that a fine-grained
  // wheel moves the same way both up and down.
  const int64_t move = int64_t{delta} * step / 120;
  return ClampStripScroll(strip, Saturate(int64_t{scroll} - move));
}

LayoutRect StripIndicatorRect(const StripGeometry& strip, bool fullScreen, int32_t scroll) {
  if (fullScreen || strip.thumbCount == 0 || strip.maxScroll <= 0) return LayoutRect{};
  const int64_t height = RectHeight(strip.column);
  const int64_t track = height - 2 * int64_t{strip.gap};
  if (height <= 0 || track <= 0) return LayoutRect{};
  // The bar is to the track what the client height is to the whole strip.
  const int64_t content = height + strip.maxScroll;
  int64_t length = ScaleRounded(track, height, content);
  length = std::min(std::max(length, int64_t{strip.indicatorMinLength}), track);
  const int64_t offset =
      ScaleRounded(track - length, ClampStripScroll(strip, scroll), strip.maxScroll);
  LayoutRect r;
  r.left = strip.gap + strip.thumbWidth;
  r.right = r.left + strip.indicatorWidth;
  r.top = Saturate(strip.gap + offset);
  r.bottom = Saturate(strip.gap + offset + length);
  return r;
}

std::vector<TileTarget> ComputeTileTargets(int32_t clientWidth, int32_t clientHeight, int32_t dpi,
                                           int32_t count, int32_t selected, bool fullScreen,
                                           int32_t stripScroll) {
  std::vector<TileTarget> targets(static_cast<size_t>(std::max(count, 0)));
  if (targets.empty()) return targets;
  if (selected < 0 || selected >= count) selected = 0;
  const size_t sel = static_cast<size_t>(selected);

  if (count == 1 || fullScreen) {
    for (size_t p = 0; p < targets.size(); ++p) targets[p].shown = (p == sel);
    targets[sel].rect = LayoutRect{0, 0, clientWidth, clientHeight};
    return targets;
  }

  const StripGeometry strip = ComputeStrip(clientWidth, clientHeight, dpi, count);
  const int32_t gap = strip.gap;
  int64_t y = int64_t{gap} - ClampStripScroll(strip, stripScroll);
  for (size_t p = 0; p < targets.size(); ++p) {
    if (p == sel) continue;
    // Thumbnails beyond the edges keep their places there; the strip
    // scrolls to bring them in.
    targets[p].rect =
        LayoutRect{gap, Saturate(y), gap + strip.thumbWidth, Saturate(y + strip.thumbHeight)};
    y += int64_t{strip.thumbHeight} + gap;
  }
  targets[sel].rect = LayoutRect{strip.column.right, 0, clientWidth, clientHeight};
  return targets;
}

void PlaceTile(TileMotion& tile, const TileTarget& target) {
  tile.animating = false;
  tile.rect = target.rect;
  tile.visible = target.shown;
}

void StartSlide(TileMotion& tile, const TileTarget& target) {
  if (!target.shown && !tile.visible) {
    tile.animating = false;
    return;
  }
  LayoutRect from = tile.rect;
  if (!tile.visible) from = MoveRectLeft(target.rect, RectWidth(target.rect) + kSlideOutMargin);
  LayoutRect to = target.rect;
  if (!target.shown) to = MoveRectLeft(from, RectWidth(from) + kSlideOutMargin);
  tile.animFrom = from;
  tile.animTo = to;
  tile.hiding = !target.shown;
  tile.animating = true;
  tile.visible = true;
  tile.rect = from;
}

void ShiftTile(TileMotion& tile, int32_t dy) {
  for (LayoutRect* r : {&tile.rect, &tile.animFrom, &tile.animTo}) {
    r->top = Saturate(int64_t{r->top} + dy);
    r->bottom = Saturate(int64_t{r->bottom} + dy);
  }
}

void AdvanceSlide(TileMotion& tile, double t) {
  if (!tile.animating) return;
  tile.rect = InterpolateRect(tile.animFrom, tile.animTo, EaseOutCubic(t));
  if (t >= 1.0) {
    tile.animating = false;
    if (tile.hiding) tile.visible = false;
  }
}

double AnimationProgress(uint64_t now, uint64_t start, double durationMs) {
  if (now <= start) return 0.0;
  if (!(durationMs > 0)) return 1.0;
  return static_cast<double>(now - start) / durationMs;
}

double EaseOutCubic(double t) {
  const double u = 1.0 - ClampValue(t, 0.0, 1.0);
  return 1.0 - u * u * u;
}

LayoutRect InterpolateRect(const LayoutRect& from, const LayoutRect& to, double e) {
  auto edge = [e](int32_t a, int32_t b) {
    const double v = a + (static_cast<double>(b) - a) * e;
    return Saturate(std::lround(ClampValue(v, -2147483648.0, 2147483647.0)));
  };
  return LayoutRect{edge(from.left, to.left), edge(from.top, to.top), edge(from.right, to.right),
                    edge(from.bottom, to.bottom)};
}

ViewGeometry ComputeViewGeometry(uint32_t videoWidth, uint32_t videoHeight, const LayoutRect& tile,
                                 double zoom, double panX, double panY) {
  ViewGeometry g;
  if (videoWidth == 0 || videoHeight == 0) return g;
  const double tileWidth = static_cast<double>(int64_t{tile.right} - tile.left);
  const double tileHeight = static_cast<double>(int64_t{tile.bottom} - tile.top);
  if (tileWidth <= 0 || tileHeight <= 0) return g;
  if (!std::isfinite(zoom) || !(zoom > 0)) zoom = 1.0;

  const double w = videoWidth;
  const double h = videoHeight;
  g.videoWidth = videoWidth;
  g.videoHeight = videoHeight;
  g.tileWidth = tileWidth;
  g.tileHeight = tileHeight;
  g.fitScale = std::min(tileWidth / w, tileHeight / h);
  g.scale = g.fitScale * zoom;

  auto axis = [&g](double tileSize, double videoSize, double pan, double& src, double& srcSize,
                   double& offset) {
    if (tileSize + 0.5 >= g.scale * videoSize) {  // the zoomed picture fits
      srcSize = videoSize;
      src = 0;
      offset = (tileSize - g.scale * videoSize) / 2;
    } else {
      srcSize = tileSize / g.scale;
      src = ClampValue(videoSize * pan - srcSize / 2, 0.0, videoSize - srcSize);
      offset = -src * g.scale;
    }
  };
  axis(tileWidth, w, panX, g.srcX, g.srcWidth, g.offsetX);
  axis(tileHeight, h, panY, g.srcY, g.srcHeight, g.offsetY);
  g.valid = true;
  return g;
}

ViewFractions VisibleFractions(const ViewGeometry& g) {
  if (!g.valid) return ViewFractions{};
  const double w = g.videoWidth;
  const double h = g.videoHeight;
  return ViewFractions{g.srcX / w, g.srcY / h, g.srcWidth / w, g.srcHeight / h};
}

ViewValues SanitizeView(double zoom, double panX, double panY) {
  ViewValues v;
  v.zoom = (std::isfinite(zoom) && zoom >= kZoomMin) ? zoom : kZoomMin;
  v.pan.x = std::isnan(panX) ? 0.5 : ClampValue(panX, 0.0, 1.0);
  v.pan.y = std::isnan(panY) ? 0.5 : ClampValue(panY, 0.0, 1.0);
  return v;
}

double WheelZoomTarget(double base, int32_t delta) {
  const double z = base * std::pow(kZoomStep, delta / 120.0);
  if (std::isnan(z)) return kZoomMin;
  if (z > kZoomMax) return kZoomMax;
  if (z < kZoomMin) return kZoomMin;
  return z;
}

ZoomAnchor MakeZoomAnchor(const ViewGeometry& g, LayoutPoint pointInTile) {
  ZoomAnchor a;
  a.tileX = pointInTile.x;
  a.tileY = pointInTile.y;
  a.videoX = ClampValue((a.tileX - g.offsetX) / g.scale, 0.0, g.videoWidth);
  a.videoY = ClampValue((a.tileY - g.offsetY) / g.scale, 0.0, g.videoHeight);
  return a;
}

PanCentre AnchoredPan(const ViewGeometry& g, double zoom, const ZoomAnchor& anchor) {
  const double s = zoom * g.fitScale;
  PanCentre pan;
  pan.x = (anchor.videoX - anchor.tileX / s + g.tileWidth / s * 0.5) / g.videoWidth;
  pan.y = (anchor.videoY - anchor.tileY / s + g.tileHeight / s * 0.5) / g.videoHeight;
  return pan;
}

PanCentre PanStep(uint32_t videoWidth, uint32_t videoHeight, const LayoutRect& tile, double zoom,
                  PanCentre pan, int32_t dx, int32_t dy) {
  const ViewGeometry g = ComputeViewGeometry(videoWidth, videoHeight, tile, zoom, pan.x, pan.y);
  if (!g.valid) return pan;
  pan.x -= dx / g.scale / g.videoWidth;
  pan.y -= dy / g.scale / g.videoHeight;
  const ViewGeometry g2 = ComputeViewGeometry(videoWidth, videoHeight, tile, zoom, pan.x, pan.y);
  if (g2.valid) {
    pan.x = (g2.srcX + g2.srcWidth * 0.5) / g2.videoWidth;
    pan.y = (g2.srcY + g2.srcHeight * 0.5) / g2.videoHeight;
  }
  return pan;
}

LayoutRect NavigatorRectFor(const LayoutRect& tile, uint32_t videoWidth, uint32_t videoHeight,
                            int32_t dpi) {
  const int32_t navWidth = ScaleForDpi(kNavigatorWidth, dpi);
  const int32_t margin = ScaleForDpi(kOverlayMargin, dpi);
  if (videoWidth == 0 || videoHeight == 0) {
    videoWidth = 16;
    videoHeight = 9;
  }
  const int32_t navHeight =
      MulDivRound(navWidth, VideoDimension(videoHeight), VideoDimension(videoWidth));
  LayoutRect r;
  r.right = Saturate(int64_t{tile.right} - margin);
  r.left = Saturate(int64_t{r.right} - navWidth);
  r.top = Saturate(int64_t{tile.top} + margin);
  r.bottom = Saturate(int64_t{r.top} + navHeight);
  return r;
}

LayoutRect AudioIconRectFor(const LayoutRect& tile, int32_t dpi) {
  const int32_t size = ScaleForDpi(kAudioIconSize, dpi);
  const int32_t margin = ScaleForDpi(kOverlayMargin, dpi);
  const int32_t left = Saturate(int64_t{tile.left} + margin);
  const int32_t bottom = Saturate(int64_t{tile.bottom} - margin);
  return LayoutRect{left, Saturate(int64_t{bottom} - size), Saturate(int64_t{left} + size), bottom};
}

bool NavigatorPan(const LayoutRect& navigator, LayoutPoint point, PanCentre& pan) {
  const int32_t w = RectWidth(navigator);
  const int32_t h = RectHeight(navigator);
  if (w < 1 || h < 1) return false;
  pan.x = ClampValue((static_cast<double>(point.x) - navigator.left) / w, 0.0, 1.0);
  pan.y = ClampValue((static_cast<double>(point.y) - navigator.top) / h, 0.0, 1.0);
  return true;
}

int32_t HitTestTiles(const std::vector<HitTile>& tiles, int32_t selected, LayoutPoint point) {
  const int32_t count = static_cast<int32_t>(tiles.size());
  if (count == 0) return -1;
  if (selected < 0 || selected >= count) selected = 0;
  for (int32_t p = 0; p < count; ++p) {
    if (p == selected) continue;
    const HitTile& t = tiles[static_cast<size_t>(p)];
    if (t.visible && RectContains(t.rect, point)) return p;
  }
  return RectContains(tiles[static_cast<size_t>(selected)].rect, point) ? selected : -1;
}

bool IsTileConnecting(bool connected, uint64_t lastFrameTick, uint64_t now) {
  if (!connected || lastFrameTick == 0) return true;
  return now > lastFrameTick && now - lastFrameTick > 4000;
}
