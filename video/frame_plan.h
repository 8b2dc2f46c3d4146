// The renderer's decisions that need no graphics API: which upload texture a
// new picture goes into, which tiles are drawn from a reduced copy of their
// picture, and whether a frame has anything new to show.
#pragma once

#include <cstddef>
#include <cstdint>

#include "video/render_scene.h"

// How a system-memory picture's planes follow its Y plane: one interleaved
// UV plane (NV12), or a U and a V plane of half the pitch (I420; YV12 has V
// first).
enum class PlaneLayout : uint8_t { kNv12, kI420, kYv12 };

// The decoder's output formats are taken in the order it offers them: the
// first of NV12, I420 (IYUV) and YV12, so that it does not convert its own
// pictures for us. Pictures that stay on the GPU are always NV12.
enum class OfferedFormat : uint8_t { kNv12, kI420, kYv12, kOther };
inline bool TakesOutputFormat(OfferedFormat format, bool gpuPictures) {
  if (format == OfferedFormat::kOther) return false;
  return !gpuPictures || format == OfferedFormat::kNv12;
}
inline PlaneLayout LayoutOf(OfferedFormat format) {
  return format == OfferedFormat::kI420   ? PlaneLayout::kI420
         : format == OfferedFormat::kYv12 ? PlaneLayout::kYv12
                                          : PlaneLayout::kNv12;
}

// Where the chroma planes of a system-memory picture start and how wide their
// rows are, for a picture of `pitch` bytes a row and `planeRows` rows whose
// visible part starts at (cropX, cropY) and is width x height. For NV12 the
// second plane is the UV plane and the third is unused; otherwise the second
// is U and the third V, in either layout. False when a plane
// of the visible part would lie outside `length` bytes.
struct PlaneOffsets {
  size_t y = 0, second = 0, third = 0;  // byte offsets of the visible part's planes
  uint32_t lumaPitch = 0, chromaPitch = 0;
  uint32_t chromaWidth = 0, chromaHeight = 0;  // in chroma samples
};
bool LocatePlanes(PlaneLayout layout, uint32_t pitch, uint32_t planeRows, uint32_t cropX,
                  uint32_t cropY, uint32_t width, uint32_t height, uint64_t length,
                  PlaneOffsets* out);

// System-memory pictures are written into a small ring of textures, so that
// the device may still draw the picture before while the next one is written.
inline constexpr int kUploadRingSize = 3;

// The ring entry the next picture is written into: never the one the last
// frame drew (the device may still be reading it) and never the newest
// picture (it may be drawn by the next frame if no other comes). drawn and
// latest are -1 when there is none.
int NextUploadEntry(int drawn, int latest);

// A picture drawn at less than half its size comes from a copy made at half
// its size (each pixel the mean of two by two) with a mip chain, so that small
// tiles are smooth; at half its size or more it is drawn straight from its
// planes with bilinear filtering. scale is drawn size over picture size.
bool UsesReducedCopy(double scale);
inline uint32_t ReducedSide(uint32_t side) {
  return (side + 1) / 2;
}

// The picture serial of each of the sixteen slot positions: it counts the
// pictures taken, so a frame can tell which tiles got a new one.
struct PictureSerials {
  uint64_t taken[16] = {};  // the newest picture of each position
  uint64_t drawn[16] = {};  // the picture the last drawn frame showed
};

// Whether any tile of the scene shows a position whose newest picture was not
// drawn yet.
bool NewPictureOnScreen(const RenderScene& scene, const PictureSerials& serials);

// The pictures the scene's tiles show are now on screen.
void NoteScenePicturesDrawn(const RenderScene& scene, PictureSerials& serials);

// What can make a frame worth drawing; with none of them the last frame
// presented is still right and nothing is drawn or presented.
struct FrameCauses {
  bool firstFrame = false;       // nothing presented yet
  bool sceneChanged = false;     // layout, zoom, pan, animation, texts, selection
  bool resized = false;          // the back buffer got a new size
  bool redrawAsked = false;      // the window was uncovered, the device was reset, ...
  bool newPictureShown = false;  // a tile on screen has a new picture
};
inline bool FrameWanted(const FrameCauses& c) {
  return c.firstFrame || c.sceneChanged || c.resized || c.redrawAsked || c.newPictureShown;
}
