// Pixel arithmetic of the renderer and its overlays, free of any graphics API.
#pragma once

#include <cstddef>
#include <cstdint>

struct PixelRect {
  int32_t x = 0, y = 0, w = 0, h = 0;
};

// Nearest integer, halves away from zero.
int32_t NearestInt(double value);

// Aspect-fit (letterboxed) placement of the source window (uvWidth x uvHeight
// of a pictureWidth x pictureHeight picture) in the tile. False when nothing
// is to be drawn (empty source or tile).
bool PlacePicture(uint32_t pictureWidth, uint32_t pictureHeight, double uvWidth, double uvHeight,
                  int32_t left, int32_t top, int32_t right, int32_t bottom, PixelRect* out);

// The four 2-pixel bars of the navigator's view rectangle (top, bottom,
// left, right) for the navigator box and the visible fraction of the picture.
void NavigatorViewBars(int32_t left, int32_t top, int32_t right, int32_t bottom, double viewX,
                       double viewY, double viewWidth, double viewHeight, PixelRect bars[4]);

// The label strip of a tile: nine pixels per character, no measuring.
PixelRect LabelBox(int32_t tileLeft, int32_t tileTop, size_t characters);

// Sizes crossing threads: width in the upper 32 bits, height in the lower.
inline uint64_t PackSizeWord(uint32_t width, uint32_t height) {
  return (static_cast<uint64_t>(width) << 32) | height;
}
inline uint32_t SizeWordWidth(uint64_t packed) {
  return static_cast<uint32_t>(packed >> 32);
}
inline uint32_t SizeWordHeight(uint64_t packed) {
  return static_cast<uint32_t>(packed & 0xFFFFFFFFu);
}

// A client-area size as a resize request: each side at least 8.
uint64_t PackResizeRequest(int32_t width, int32_t height);
