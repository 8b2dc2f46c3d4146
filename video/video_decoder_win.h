// One Media Foundation video decoder transform per slot: H.264 / H.265 access
// units in, NV12 pictures out through a synchronous callback. Used only by
// the render thread.
#pragma once

#include <windows.h>
#include <d3d11.h>
#include <mfobjects.h>
#include <mftransform.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "video/frame_plan.h"
#include "video/hand_off_watch.h"
#include "video/sps_info.h"

// One video access unit in Annex-B form (every NAL unit after 00 00 00 01),
// timestamp in 100 ns units from the connection's first video packet.
struct AccessUnit {
  std::vector<uint8_t> bytes;
  int64_t timestamp = 0;
};

// A decoded picture, valid only during the callback. Exactly one of the two
// forms is set: an NV12 texture on the renderer's device (the transform
// decodes into Direct3D surfaces) or a locked system-memory picture of `size`
// bytes at `data` (Y plane of `planeRows` rows at `pitch`, then the chroma
// planes as `layout` says). cropX/cropY/width/height give the visible picture.
struct DecodedFrame {
  ID3D11Texture2D* texture = nullptr;
  uint32_t subresourceIndex = 0;
  const uint8_t* data = nullptr;
  uint32_t pitch = 0;
  uint32_t planeRows = 0;
  size_t size = 0;
  PlaneLayout layout = PlaneLayout::kNv12;
  uint32_t cropX = 0, cropY = 0;
  uint32_t width = 0, height = 0;
};

// Returns whether the picture was taken (the renderer could use it).
using FrameCallback = std::function<bool(const DecodedFrame&)>;

class VideoDecoder {
 public:
  // codec: 2 = H.265, any other non-zero value = H.264.
  bool Open(ID3D11Device* device, IMFDXGIDeviceManager* deviceManager, int codec);
  void Decode(const uint8_t* data, size_t size, int64_t timestamp,
              const FrameCallback& frameCallback);
  void Close();

  // Frame size of the current output type, and the part of it shown.
  uint32_t Width() const { return width; }
  uint32_t Height() const { return height; }
  VisibleArea Visible() const { return visible; }
  // Opened with the device manager, the transform took a few seconds of
  // stream after a key picture and not one of its pictures was taken: the
  // GPU hand-off does not work here, decode without the device manager.
  bool GpuHandOffFailed() const { return HandOffFailed(handOff); }

 private:
  bool SelectOutputType();
  void Drain(const FrameCallback& frameCallback);
  void DeliverPicture(IMFMediaBuffer* buffer, const FrameCallback& frameCallback);
  void NoteParameterSets(const uint8_t* data, size_t size);
  void UpdateVisibleArea();

  IMFTransform* transform = nullptr;
  ID3D11Device* device = nullptr;  // borrowed from the renderer
  int codec = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t defaultStride = 0;               // row pitch of a picture in a plain buffer
  PlaneLayout layout = PlaneLayout::kNv12;  // of the current output type
  bool hasAperture = false;                 // the output type names its display aperture
  VisibleArea aperture;                     // from the output type, when hasAperture
  VisibleArea visible;                      // what is handed on
  SpsInfo sps;                              // latest sequence parameter set seen in the input
  bool transformAllocatesSamples = false;
  IMFSample* outputSample = nullptr;  // ours, reused by every ProcessOutput call
  uint64_t outputBytes = 0;           // its buffer's size
  bool d3dAware = false;
  HandOffWatch handOff;  // judges the GPU hand-off of a d3dAware transform
};
