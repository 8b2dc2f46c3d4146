#pragma once
// Tile layout, zoom and pan arithmetic: the stage-and-strip placement, the
// strip's scrolling, the slide and zoom animations, the visible window of a zoomed picture, the pan
// and navigator steps and the hit tests. Pure functions over plain values; the
// Windows glue in app/layout_win.* feeds them from AppState.
#include <cstdint>
#include <vector>

// A rectangle in client pixels: left and top inclusive, right and bottom
// exclusive (as the platform's RECT and PtInRect).
struct LayoutRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  friend bool operator==(const LayoutRect&, const LayoutRect&) = default;
};

struct LayoutPoint {
  int32_t x = 0;
  int32_t y = 0;
};

// Sizes and times of the layout.
inline constexpr int32_t kStripMaxWidth = 240;   // at 96 dpi
inline constexpr int32_t kThumbGap = 4;          // at 96 dpi
inline constexpr int32_t kSlideOutMargin = 48;   // pixels beyond the left edge
inline constexpr int32_t kNavigatorWidth = 180;  // at 96 dpi
inline constexpr int32_t kOverlayMargin = 10;    // at 96 dpi
inline constexpr int32_t kAudioIconSize = 34;    // at 96 dpi
inline constexpr int32_t kScrollThumbMin = 16;   // at 96 dpi: shortest scroll indicator
inline constexpr double kSlideMs = 220.0;
inline constexpr double kZoomMs = 140.0;
inline constexpr double kZoomStep = 1.25;  // per wheel notch of 120
inline constexpr double kZoomMin = 1.0;
inline constexpr double kZoomMax = 10.0;
inline constexpr double kZoomedAbove = 1.001;  // at or below counts as not zoomed

// number × numerator / denominator with the 64-bit intermediate and rounding
// of the platform's MulDiv: halves away from zero; -1 when denominator is 0
// or the result does not fit in 32 bits.
int32_t MulDivRound(int32_t number, int32_t numerator, int32_t denominator);

// A size given at 96 dpi scaled to dpi. A dpi of 0 or less (the window query
// failed) counts as 96.
int32_t ScaleForDpi(int32_t value, int32_t dpi);

bool RectContains(const LayoutRect& rect, LayoutPoint point);
int32_t RectWidth(const LayoutRect& rect);
int32_t RectHeight(const LayoutRect& rect);
LayoutRect MoveRectLeft(const LayoutRect& rect, int32_t by);

inline bool IsZoomed(double zoom) {
  return zoom > kZoomedAbove;
}

// The left-hand strip of the stage-and-strip layout for count tiles (count − 1
// thumbnails), whether or not full-screen hides it at the moment. When the
// thumbnails do not all fit in the client height the strip scrolls: by up to
// maxScroll pixels, which brings the last thumbnail fully into view with one
// gap below it, as the first has one above it at 0. While they fit (or with
// fewer than two tiles) maxScroll is 0.
struct StripGeometry {
  LayoutRect column;  // (0, 0, strip width, client height)
  int32_t gap = 0;
  int32_t thumbWidth = 0;
  int32_t thumbHeight = 0;
  int32_t thumbCount = 0;
  int32_t maxScroll = 0;
  int32_t indicatorWidth = 0;      // the scroll indicator's thickness
  int32_t indicatorMinLength = 0;  // and its shortest length
};
StripGeometry ComputeStrip(int32_t clientWidth, int32_t clientHeight, int32_t dpi, int32_t count);

// A scroll offset brought within 0 … maxScroll.
int32_t ClampStripScroll(const StripGeometry& strip, int32_t scroll);
// Whether the wheel at point scrolls the strip: the strip is on screen (not
// full-screen, two tiles or more), has somewhere to scroll, and point lies
// in its column.
bool StripTakesWheel(const StripGeometry& strip, bool fullScreen, LayoutPoint point);
// The offset one wheel movement of delta (120 per notch, signed; positive
// turns away from the user and moves towards the top) leads to: one
// thumbnail and its gap per notch, clamped.
int32_t WheelStripScroll(const StripGeometry& strip, int32_t scroll, int32_t delta);
// The thin bar in the gap between the thumbnails and the stage that shows
// which part of the strip is in view; empty when the strip is not on screen
// or does not scroll.
LayoutRect StripIndicatorRect(const StripGeometry& strip, bool fullScreen, int32_t scroll);

// Where each tile belongs: the selected one on the stage (or alone in the
// whole client area in full-screen or with one tile), the others stacked as
// 16:9 thumbnails in the left-hand strip, moved up by stripScroll pixels.
// Not shown tiles have a zero target.
struct TileTarget {
  LayoutRect rect;
  bool shown = true;
};
std::vector<TileTarget> ComputeTileTargets(int32_t clientWidth, int32_t clientHeight, int32_t dpi,
                                           int32_t count, int32_t selected, bool fullScreen,
                                           int32_t stripScroll = 0);

// The layout fields of one tile.
struct TileMotion {
  LayoutRect rect;
  LayoutRect animFrom;
  LayoutRect animTo;
  bool animating = false;
  bool visible = true;
  bool hiding = false;
};

// Puts a tile at its target at once.
void PlaceTile(TileMotion& tile, const TileTarget& target);
// Starts the slide of a tile from where it is to its target: a tile coming
// into view enters from beyond the left edge, one leaving goes out that way.
void StartSlide(TileMotion& tile, const TileTarget& target);
// Moves a tile up or down by dy pixels, and the slide it is on with it, so
// that it still lands on its target when the strip scrolls mid-slide.
void ShiftTile(TileMotion& tile, int32_t dy);
// Moves a sliding tile to progress t (0 … 1 and beyond); at t ≥ 1 the slide
// ends and a leaving tile becomes invisible.
void AdvanceSlide(TileMotion& tile, double t);

// Fraction of an animation of durationMs that has run at now (0 when the
// clock reads earlier than the start).
double AnimationProgress(uint64_t now, uint64_t start, double durationMs);
// 1 − (1 − t)³ with t clamped to 0 … 1.
double EaseOutCubic(double t);
// Each edge at from + (to − from) × e, rounded to nearest.
LayoutRect InterpolateRect(const LayoutRect& from, const LayoutRect& to, double e);

// Which part of the selected picture is visible, and where it lies in the tile.
struct ViewGeometry {
  bool valid = false;
  uint32_t videoWidth = 0;
  uint32_t videoHeight = 0;
  double tileWidth = 0;
  double tileHeight = 0;
  double fitScale = 1.0;
  double scale = 1.0;
  double offsetX = 0;
  double offsetY = 0;
  double srcX = 0;
  double srcY = 0;
  double srcWidth = 0;
  double srcHeight = 0;
};
ViewGeometry ComputeViewGeometry(uint32_t videoWidth, uint32_t videoHeight, const LayoutRect& tile,
                                 double zoom, double panX, double panY);

// The visible window as fractions of the picture (0, 0, 1, 1 when g is not valid).
struct ViewFractions {
  double x = 0;
  double y = 0;
  double width = 1;
  double height = 1;
};
ViewFractions VisibleFractions(const ViewGeometry& g);

struct PanCentre {
  double x = 0.5;
  double y = 0.5;
};

// A live view read from storage: a zoom that is not a number or below 1
// becomes 1, a pan centre that is not a number becomes 0.5; finite pans are
// clamped to 0 … 1.
struct ViewValues {
  double zoom = 1.0;
  PanCentre pan;
};
ViewValues SanitizeView(double zoom, double panX, double panY);

// The zoom one wheel movement of delta (120 per notch, signed) aims at from
// base, within 1 … 10.
double WheelZoomTarget(double base, int32_t delta);

// The cursor's position in the tile and the picture point under it when the
// wheel turned.
struct ZoomAnchor {
  int32_t tileX = 0;
  int32_t tileY = 0;
  double videoX = 0;
  double videoY = 0;
};
ZoomAnchor MakeZoomAnchor(const ViewGeometry& g, LayoutPoint pointInTile);
// The pan centre that keeps the anchored picture point under the cursor at
// zoom (g must be valid).
PanCentre AnchoredPan(const ViewGeometry& g, double zoom, const ZoomAnchor& anchor);

// One drag step of (dx, dy) screen pixels: the picture follows the cursor and
// the pan is re-centred on the clamped window, so it never runs past the
// picture's edges. Unchanged when the geometry is not valid.
PanCentre PanStep(uint32_t videoWidth, uint32_t videoHeight, const LayoutRect& tile, double zoom,
                  PanCentre pan, int32_t dx, int32_t dy);

// The navigator map in the selected tile's top-right corner, as tall as the
// picture's aspect asks (16:9 while no picture is known).
LayoutRect NavigatorRectFor(const LayoutRect& tile, uint32_t videoWidth, uint32_t videoHeight,
                            int32_t dpi);
// The sound icon's box in the selected tile's bottom-left corner.
LayoutRect AudioIconRectFor(const LayoutRect& tile, int32_t dpi);
// The pan centre that a press at point inside the navigator asks for; false
// when the navigator has no area.
bool NavigatorPan(const LayoutRect& navigator, LayoutPoint point, PanCentre& pan);

// Tiles in hit-test order: the visible thumbnails first, then the selected
// tile; -1 when no tile contains the point.
struct HitTile {
  LayoutRect rect;
  bool visible = true;
};
int32_t HitTestTiles(const std::vector<HitTile>& tiles, int32_t selected, LayoutPoint point);

// A tile counts as connecting when its stream is down, it has had no picture
// yet, or its last picture is more than 4000 ms old. A picture stamped after
// now (the render thread raced the caller's clock read) is fresh.
bool IsTileConnecting(bool connected, uint64_t lastFrameTick, uint64_t now);
