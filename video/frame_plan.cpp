#include "video/frame_plan.h"

int NextUploadEntry(int drawn, int latest) {
  for (int entry = 0; entry < kUploadRingSize; ++entry) {
    // Starting after the newest keeps the entries in turn.
    const int candidate = (latest + 1 + entry) % kUploadRingSize;
    if (candidate != drawn && candidate != latest) return candidate;
  }
  return 0;  // not reached with three entries
}

bool UsesReducedCopy(double scale) {
  return scale < 0.5;
}

bool NewPictureOnScreen(const RenderScene& scene, const PictureSerials& serials) {
  for (const TileView& tile : scene.tiles) {
    if (tile.slotIndex < 0 || tile.slotIndex >= 16) continue;
    if (serials.taken[tile.slotIndex] != serials.drawn[tile.slotIndex]) return true;
  }
  return false;
}

void NoteScenePicturesDrawn(const RenderScene& scene, PictureSerials& serials) {
  for (const TileView& tile : scene.tiles) {
    if (tile.slotIndex < 0 || tile.slotIndex >= 16) continue;
    serials.drawn[tile.slotIndex] = serials.taken[tile.slotIndex];
  }
}

bool LocatePlanes(PlaneLayout layout, uint32_t pitch, uint32_t planeRows, uint32_t cropX,
                  uint32_t cropY, uint32_t width, uint32_t height, uint64_t length,
                  PlaneOffsets* out) {
  if (pitch == 0 || width == 0 || height == 0) return false;
  if (uint64_t{cropX} + width > pitch || uint64_t{cropY} + height > planeRows) return false;
  PlaneOffsets o;
  o.lumaPitch = pitch;
  o.chromaWidth = (width + 1) / 2;
  o.chromaHeight = (height + 1) / 2;
  const uint64_t lumaBytes = uint64_t{pitch} * planeRows;
  const uint64_t chromaRows = (uint64_t{planeRows} + 1) / 2;
  const uint64_t firstRow = cropY / 2;
  uint64_t second = 0, third = 0, lastEnd = 0;
  o.y = static_cast<size_t>(uint64_t{cropY} * pitch + cropX);
  if (layout == PlaneLayout::kNv12) {
    o.chromaPitch = pitch;
    if (uint64_t{cropX / 2} * 2 + uint64_t{o.chromaWidth} * 2 > pitch) return false;
    second = lumaBytes + firstRow * pitch + uint64_t{cropX / 2} * 2;
    lastEnd = second + (uint64_t{o.chromaHeight} - 1) * pitch + uint64_t{o.chromaWidth} * 2;
  } else {
    if (pitch % 2 != 0) return false;
    o.chromaPitch = pitch / 2;
    if (uint64_t{cropX / 2} + o.chromaWidth > o.chromaPitch) return false;
    const uint64_t planeBytes = chromaRows * o.chromaPitch;
    const uint64_t inPlane = firstRow * o.chromaPitch + cropX / 2;
    const uint64_t u = lumaBytes + inPlane;
    const uint64_t v = lumaBytes + planeBytes + inPlane;
    second = layout == PlaneLayout::kI420 ? u : v;
    third = layout == PlaneLayout::kI420 ? v : u;
    lastEnd = lumaBytes + planeBytes + inPlane + (uint64_t{o.chromaHeight} - 1) * o.chromaPitch +
              o.chromaWidth;
  }
  if (firstRow + o.chromaHeight > chromaRows) return false;
  const uint64_t lumaEnd = o.y + (uint64_t{height} - 1) * pitch + width;
  if (lumaEnd > length || lastEnd > length) return false;
  o.second = static_cast<size_t>(second);
  o.third = static_cast<size_t>(third);
  *out = o;
  return true;
}
