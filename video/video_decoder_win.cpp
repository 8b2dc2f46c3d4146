#include "video/video_decoder_win.h"

#include <mfapi.h>
#include <mferror.h>

#include <cstring>

#include "video/decode_policy.h"

namespace {

// CODECAPI_AVLowLatencyMode
const GUID kLowLatencyMode = {
    0x9c27891a, 0xed7a, 0x40e1, {0x88, 0xe8, 0xb2, 0x27, 0x27, 0xa0, 0x24, 0xee}};

constexpr HRESULT kNotAccepting = static_cast<HRESULT>(0xC00D36B5);  // MF_E_NOTACCEPTING
constexpr HRESULT kStreamChange = static_cast<HRESULT>(0xC00D6D61);  // MF_E_TRANSFORM_STREAM_CHANGE

// One drain never loops longer than this, whatever the transform answers.
constexpr int kMaxDrainRounds = 64;

template <typename T>
void SafeRelease(T*& p) {
  if (p) {
    p->Release();
    p = nullptr;
  }
}

}  // namespace

bool VideoDecoder::Open(ID3D11Device* dev, IMFDXGIDeviceManager* deviceManager, int codecCode) {
  device = dev;
  codec = codecCode;
  const GUID subtype = codec == 2 ? MFVideoFormat_HEVC : MFVideoFormat_H264;

  MFT_REGISTER_TYPE_INFO input = {MFMediaType_Video, subtype};
  IMFActivate** activates = nullptr;
  UINT32 count = 0;
  HRESULT hr =
      MFTEnumEx(MFT_CATEGORY_VIDEO_DECODER, MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_SORTANDFILTER,
                &input, nullptr, &activates, &count);
  if (FAILED(hr) || count == 0) {
    if (activates) CoTaskMemFree(activates);
    return false;
  }
  hr = activates[0]->ActivateObject(IID_PPV_ARGS(&transform));
  for (UINT32 i = 0; i < count; ++i) activates[i]->Release();
  CoTaskMemFree(activates);
  if (FAILED(hr) || !transform) {
    transform = nullptr;
    return false;
  }

  IMFAttributes* attributes = nullptr;
  if (SUCCEEDED(transform->GetAttributes(&attributes)) && attributes) {
    attributes->SetUINT32(kLowLatencyMode, 1);
    attributes->Release();
  }

  if (deviceManager &&
      SUCCEEDED(transform->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER,
                                          reinterpret_cast<ULONG_PTR>(deviceManager)))) {
    d3dAware = true;
  }
  StartHandOffWatch(handOff, d3dAware);

  IMFMediaType* type = nullptr;
  if (FAILED(MFCreateMediaType(&type))) return false;
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  MFSetAttributeSize(type, MF_MT_FRAME_SIZE, 1920, 1080);
  MFSetAttributeRatio(type, MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  hr = transform->SetInputType(0, type, 0);
  type->Release();
  if (FAILED(hr)) return false;

  SelectOutputType();
  transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
  transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
  return true;
}

namespace {

OfferedFormat FormatOf(const GUID& subtype) {
  if (subtype == MFVideoFormat_NV12) return OfferedFormat::kNv12;
  if (subtype == MFVideoFormat_I420 || subtype == MFVideoFormat_IYUV) return OfferedFormat::kI420;
  if (subtype == MFVideoFormat_YV12) return OfferedFormat::kYv12;
  return OfferedFormat::kOther;
}

}  // namespace

bool VideoDecoder::SelectOutputType() {
  for (DWORD index = 0;; ++index) {
    IMFMediaType* type = nullptr;
    if (FAILED(transform->GetOutputAvailableType(0, index, &type)) || !type) return false;
    GUID subtype = GUID_NULL;
    const OfferedFormat format = SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype))
                                     ? FormatOf(subtype)
                                     : OfferedFormat::kOther;
    if (!TakesOutputFormat(format, d3dAware) || FAILED(transform->SetOutputType(0, type, 0))) {
      type->Release();
      continue;
    }
    layout = LayoutOf(format);
    UINT32 w = 0, h = 0;
    if (FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &w, &h))) w = h = 0;
    width = w;
    height = h;
    // Row pitch of a picture in a plain (not 2D) buffer.
    UINT32 stride = 0;
    defaultStride = SUCCEEDED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride)) &&
                            static_cast<INT32>(stride) >= static_cast<INT32>(width)
                        ? stride
                        : width;
    MFVideoArea area = {};
    hasAperture =
        SUCCEEDED(type->GetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, reinterpret_cast<UINT8*>(&area),
                                sizeof(area), nullptr)) &&
        area.OffsetX.value >= 0 && area.OffsetY.value >= 0 && area.Area.cx > 0 && area.Area.cy > 0;
    if (hasAperture) {
      aperture.x = static_cast<uint32_t>(area.OffsetX.value);
      aperture.y = static_cast<uint32_t>(area.OffsetY.value);
      aperture.width = static_cast<uint32_t>(area.Area.cx);
      aperture.height = static_cast<uint32_t>(area.Area.cy);
    }
    type->Release();
    UpdateVisibleArea();

    MFT_OUTPUT_STREAM_INFO info = {};
    transformAllocatesSamples = SUCCEEDED(transform->GetOutputStreamInfo(0, &info)) &&
                                (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES |
                                                 MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) != 0;
    return true;
  }
}

void VideoDecoder::UpdateVisibleArea() {
  visible = ChooseVisibleArea(width, height, hasAperture ? &aperture : nullptr, sps);
}

void VideoDecoder::NoteParameterSets(const uint8_t* data, size_t size) {
  SpsInfo found;
  if (!FindSpsInAccessUnit(data, size, codec, &found)) return;
  if (found.codedWidth != sps.codedWidth || found.codedHeight != sps.codedHeight ||
      found.visible.x != sps.visible.x || found.visible.y != sps.visible.y ||
      found.visible.width != sps.visible.width || found.visible.height != sps.visible.height) {
    sps = found;
    UpdateVisibleArea();
  }
}

void VideoDecoder::Decode(const uint8_t* data, size_t size, int64_t timestamp,
                          const FrameCallback& frameCallback) {
  if (!transform || !data || size == 0 || size > 0xFFFFFF00u) return;
  NoteParameterSets(data, size);

  // The unit ends in a delimiter, so the picture comes out with its own unit.
  const DecoderInput input = FrameForDecoder(data, size, codec);
  if (input.skip >= size) return;  // a delimiter alone: no picture in it
  const size_t bytes = size - input.skip + input.endSize;

  IMFSample* sample = nullptr;
  if (FAILED(MFCreateSample(&sample))) return;
  IMFMediaBuffer* buffer = nullptr;
  if (FAILED(MFCreateMemoryBuffer(static_cast<DWORD>(bytes), &buffer))) {
    sample->Release();
    return;
  }
  BYTE* dst = nullptr;
  if (SUCCEEDED(buffer->Lock(&dst, nullptr, nullptr))) {
    std::memcpy(dst, data + input.skip, size - input.skip);
    std::memcpy(dst + (size - input.skip), input.end, input.endSize);
    buffer->Unlock();
    buffer->SetCurrentLength(static_cast<DWORD>(bytes));
  }
  sample->AddBuffer(buffer);
  buffer->Release();
  sample->SetSampleTime(timestamp);
  sample->SetSampleDuration(0);

  HRESULT hr = transform->ProcessInput(0, sample, 0);
  if (hr == kNotAccepting) {
    Drain(frameCallback);
    hr = transform->ProcessInput(0, sample, 0);
  }
  sample->Release();
  if (FAILED(hr)) return;
  NoteUnitAccepted(handOff, HasKeyPicture(data, size, codec), timestamp);
  Drain(frameCallback);
}

void VideoDecoder::Drain(const FrameCallback& frameCallback) {
  for (int round = 0; round < kMaxDrainRounds; ++round) {
    MFT_OUTPUT_STREAM_INFO info = {};
    if (FAILED(transform->GetOutputStreamInfo(0, &info))) return;

    // The picture is copied out during the callback, so one output sample
    // serves every call: a new one of a few megabytes per call costs the
    // system a fresh allocation, zeroed, each time.
    IMFSample* created = nullptr;
    if (!transformAllocatesSamples) {
      const uint64_t bytes = info.cbSize ? info.cbSize : uint64_t{width} * height * 3 / 2;
      const DWORD alignment = info.cbAlignment ? info.cbAlignment - 1 : 15;
      if (bytes == 0 || bytes > 0xFFFFFFFFu) return;
      if (!outputSample || outputBytes != bytes) {
        SafeRelease(outputSample);
        IMFMediaBuffer* buffer = nullptr;
        if (FAILED(MFCreateSample(&outputSample))) {
          outputSample = nullptr;
          return;
        }
        if (FAILED(MFCreateAlignedMemoryBuffer(static_cast<DWORD>(bytes), alignment, &buffer))) {
          SafeRelease(outputSample);
          return;
        }
        outputSample->AddBuffer(buffer);
        buffer->Release();
        outputBytes = bytes;
      }
      created = outputSample;
      IMFMediaBuffer* buffer = nullptr;
      if (SUCCEEDED(created->GetBufferByIndex(0, &buffer)) && buffer) {
        buffer->SetCurrentLength(0);
        buffer->Release();
      }
    }

    MFT_OUTPUT_DATA_BUFFER output = {};
    output.dwStreamID = 0;
    output.pSample = created;
    DWORD status = 0;
    const HRESULT hr = transform->ProcessOutput(0, 1, &output, &status);
    SafeRelease(output.pEvents);
    IMFSample* sample = output.pSample;
    if (FAILED(hr)) {
      if (sample && sample != created) sample->Release();
      if (hr != kStreamChange) return;  // needs more input, or a real failure
      if (!SelectOutputType()) return;
      continue;
    }
    if (sample) {
      IMFMediaBuffer* buffer = nullptr;
      if (SUCCEEDED(sample->GetBufferByIndex(0, &buffer)) && buffer) {
        DeliverPicture(buffer, frameCallback);
        buffer->Release();
      }
      if (sample != created) sample->Release();
    }
  }
}

void VideoDecoder::DeliverPicture(IMFMediaBuffer* buffer, const FrameCallback& frameCallback) {
  DecodedFrame frame;
  frame.cropX = visible.x;
  frame.cropY = visible.y;
  frame.width = visible.width;
  frame.height = visible.height;
  if (frame.width == 0 || frame.height == 0) return;

  IMFDXGIBuffer* dxgi = nullptr;
  if (d3dAware && SUCCEEDED(buffer->QueryInterface(IID_PPV_ARGS(&dxgi))) && dxgi) {
    ID3D11Texture2D* texture = nullptr;
    UINT sub = 0;
    if (SUCCEEDED(dxgi->GetResource(IID_PPV_ARGS(&texture))) && texture &&
        SUCCEEDED(dxgi->GetSubresourceIndex(&sub))) {
      frame.texture = texture;
      frame.subresourceIndex = sub;
      if (frameCallback(frame)) NotePictureUsed(handOff);
    }
    SafeRelease(texture);
    dxgi->Release();
    return;
  }

  // System memory: a 2D buffer tells its pitch; a plain buffer holds the
  // picture at the output type's default stride.
  DWORD length = 0;
  if (FAILED(buffer->GetCurrentLength(&length))) return;
  IMF2DBuffer* buffer2d = nullptr;
  BYTE* scan0 = nullptr;
  LONG pitch = 0;
  bool locked2d = false;
  bool locked = false;
  if (SUCCEEDED(buffer->QueryInterface(IID_PPV_ARGS(&buffer2d))) && buffer2d) {
    locked2d = SUCCEEDED(buffer2d->Lock2D(&scan0, &pitch));
    DWORD contiguous = 0;
    if (locked2d && SUCCEEDED(buffer2d->GetContiguousLength(&contiguous)) && contiguous > length)
      length = contiguous;
  } else {
    DWORD maxLength = 0;
    locked = SUCCEEDED(buffer->Lock(&scan0, &maxLength, &length));
    pitch = static_cast<LONG>(defaultStride);
  }
  // Every plane of the visible picture must be inside the buffer before
  // anything reads it.
  PlaneOffsets planes;
  if ((locked2d || locked) && scan0 && pitch >= 1 &&
      LocatePlanes(layout, static_cast<uint32_t>(pitch), height, frame.cropX, frame.cropY,
                   frame.width, frame.height, length, &planes)) {
    frame.data = scan0;
    frame.size = length;
    frame.pitch = static_cast<uint32_t>(pitch);
    frame.planeRows = height;
    frame.layout = layout;
    if (frameCallback(frame)) NotePictureUsed(handOff);
  }
  if (locked2d) buffer2d->Unlock2D();
  if (locked) buffer->Unlock();
  SafeRelease(buffer2d);
}

void VideoDecoder::Close() {
  SafeRelease(outputSample);
  outputBytes = 0;
  SafeRelease(transform);
  device = nullptr;
}
