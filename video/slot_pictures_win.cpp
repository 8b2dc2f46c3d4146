// The renderer's per-slot pictures: taking decoded pictures into the slot's
// textures, the reduced copies of small tiles, and drawing the tiles.
#include <cstring>

#include "video/placement.h"
#include "video/renderer_win.h"

namespace {

template <typename T>
void SafeRelease(T*& p) {
  if (p) {
    p->Release();
    p = nullptr;
  }
}

const float kWholeSource[4] = {0.0f, 0.0f, 1.0f, 1.0f};
const float kNoColour[4] = {0.0f, 0.0f, 0.0f, 0.0f};

D3D11_TEXTURE2D_DESC PlaneTextureDesc(uint32_t w, uint32_t h, DXGI_FORMAT format) {
  D3D11_TEXTURE2D_DESC td = {};
  td.Width = w;
  td.Height = h;
  td.MipLevels = 1;
  td.ArraySize = 1;
  td.Format = format;
  td.SampleDesc.Count = 1;
  td.Usage = D3D11_USAGE_DEFAULT;
  td.BindFlags = D3D11_BIND_SHADER_RESOURCE;
  return td;
}

D3D11_SHADER_RESOURCE_VIEW_DESC PlaneViewDesc(DXGI_FORMAT format) {
  D3D11_SHADER_RESOURCE_VIEW_DESC vd = {};
  vd.Format = format;
  vd.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
  vd.Texture2D.MostDetailedMip = 0;
  vd.Texture2D.MipLevels = 1;
  return vd;
}

// Writes `rows` rows of `rowBytes` into a dynamic texture, discarding what it
// held: the device keeps drawing the old content, if it still does, while
// the new one is written.
bool WritePlane(ID3D11DeviceContext* context, ID3D11Texture2D* texture, const uint8_t* src,
                size_t srcPitch, size_t rowBytes, uint32_t rows) {
  D3D11_MAPPED_SUBRESOURCE mapped = {};
  if (FAILED(context->Map(texture, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped)) || !mapped.pData)
    return false;
  auto* dst = static_cast<uint8_t*>(mapped.pData);
  if (mapped.RowPitch == srcPitch && mapped.RowPitch == rowBytes) {
    std::memcpy(dst, src, rowBytes * rows);
  } else {
    for (uint32_t r = 0; r < rows; ++r)
      std::memcpy(dst + size_t{r} * mapped.RowPitch, src + size_t{r} * srcPitch, rowBytes);
  }
  context->Unmap(texture, 0);
  return true;
}

// Where a tile draws its slot's picture, and whether from the reduced copy
// (drawn at less than half its size). False when nothing is to be drawn.
bool PlaceTilePicture(const SlotTexture& slot, const TileView& tile, PixelRect* r, bool* reduced) {
  if (!slot.hasPicture || !PlacePicture(slot.width, slot.height, tile.uvWidth, tile.uvHeight,
                                        tile.left, tile.top, tile.right, tile.bottom, r))
    return false;
  *reduced = UsesReducedCopy(r->w / (slot.width * tile.uvWidth));
  return true;
}

}  // namespace

// Asked once: a device may list NV12 and still refuse it as a sampled texture
// or refuse the plane views, so one small texture is made and dropped.
bool Renderer::ProbeNv12Textures() {
  UINT support = 0;
  if (FAILED(device->CheckFormatSupport(DXGI_FORMAT_NV12, &support)) ||
      (support & D3D11_FORMAT_SUPPORT_TEXTURE2D) == 0 ||
      (support & D3D11_FORMAT_SUPPORT_SHADER_SAMPLE) == 0)
    return false;
  SlotTexture probe;
  const bool ok = CreateNv12Texture(probe, 64, 64);
  ReleaseSlotTexture(probe);
  return ok;
}

// The NV12 texture and its two plane views; on failure the slot holds none.
bool Renderer::CreateNv12Texture(SlotTexture& slot, uint32_t w, uint32_t h) {
  const D3D11_TEXTURE2D_DESC td = PlaneTextureDesc(w, h, DXGI_FORMAT_NV12);
  const D3D11_SHADER_RESOURCE_VIEW_DESC luma = PlaneViewDesc(DXGI_FORMAT_R8_UNORM);
  const D3D11_SHADER_RESOURCE_VIEW_DESC chroma = PlaneViewDesc(DXGI_FORMAT_R8G8_UNORM);
  if (SUCCEEDED(device->CreateTexture2D(&td, nullptr, &slot.nv12)) &&
      SUCCEEDED(device->CreateShaderResourceView(slot.nv12, &luma, &slot.lumaView)) &&
      SUCCEEDED(device->CreateShaderResourceView(slot.nv12, &chroma, &slot.chromaView)))
    return true;
  SafeRelease(slot.chromaView);
  SafeRelease(slot.lumaView);
  SafeRelease(slot.nv12);
  return false;
}

// A picture of another size than the slot's textures drops them all.
void Renderer::EnsureSlotSize(SlotTexture& slot, uint32_t w, uint32_t h) {
  if (slot.width == w && slot.height == h) return;
  ReleaseSlotTexture(slot);
  slot.width = w;
  slot.height = h;
}

// The ring of dynamic plane textures for system-memory pictures of the slot's
// size in the given layout. A failure here belongs to this picture (memory,
// size), not to the device: the next picture tries again.
bool Renderer::EnsureUploadRing(SlotTexture& slot, PlaneLayout layout) {
  if (slot.ring[0].planes[0] && slot.ringLayout == layout) return true;
  ReleaseUploadRing(slot);
  const uint32_t cw = (slot.width + 1) / 2;
  const uint32_t ch = (slot.height + 1) / 2;
  const bool interleaved = layout == PlaneLayout::kNv12;
  for (UploadPlanes& entry : slot.ring) {
    for (int p = 0; p < (interleaved ? 2 : 3); ++p) {
      const DXGI_FORMAT format =
          p == 0 || !interleaved ? DXGI_FORMAT_R8_UNORM : DXGI_FORMAT_R8G8_UNORM;
      D3D11_TEXTURE2D_DESC td = p == 0 ? PlaneTextureDesc(slot.width, slot.height, format)
                                       : PlaneTextureDesc(cw, ch, format);
      td.Usage = D3D11_USAGE_DYNAMIC;
      td.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
      const D3D11_SHADER_RESOURCE_VIEW_DESC vd = PlaneViewDesc(format);
      if (FAILED(device->CreateTexture2D(&td, nullptr, &entry.planes[p])) ||
          FAILED(device->CreateShaderResourceView(entry.planes[p], &vd, &entry.views[p]))) {
        ReleaseUploadRing(slot);
        return false;
      }
    }
  }
  slot.ringLayout = layout;
  return true;
}

// Writes a system-memory picture, its planes at `at`, into the ring entry
// that neither the last frame drew nor holds the newest picture.
bool Renderer::UploadPicture(SlotTexture& slot, const DecodedFrame& frame, const PlaneOffsets& at) {
  if (!EnsureUploadRing(slot, frame.layout)) return false;
  const int entry = NextUploadEntry(slot.drawn, slot.latest);
  UploadPlanes& planes = slot.ring[entry];
  const bool interleaved = frame.layout == PlaneLayout::kNv12;
  const size_t chromaBytes = size_t{at.chromaWidth} * (interleaved ? 2 : 1);
  bool ok = WritePlane(context, planes.planes[0], frame.data + at.y, at.lumaPitch, frame.width,
                       frame.height) &&
            WritePlane(context, planes.planes[1], frame.data + at.second, at.chromaPitch,
                       chromaBytes, at.chromaHeight);
  if (ok && !interleaved)
    ok = WritePlane(context, planes.planes[2], frame.data + at.third, at.chromaPitch, chromaBytes,
                    at.chromaHeight);
  if (!ok) return false;
  slot.latest = entry;
  return true;
}

void Renderer::ReleaseUploadRing(SlotTexture& slot) {
  for (UploadPlanes& entry : slot.ring) {
    for (int p = 2; p >= 0; --p) {
      SafeRelease(entry.views[p]);
      SafeRelease(entry.planes[p]);
    }
  }
  slot.latest = -1;
  slot.drawn = -1;
}

void Renderer::ReleaseReducedCopy(SlotTexture& slot) {
  SafeRelease(slot.rgbView);
  SafeRelease(slot.rgbTarget);
  SafeRelease(slot.rgb);
  slot.reducedSerial = 0;
}

void Renderer::ReleaseSlotTexture(SlotTexture& slot) {
  ReleaseReducedCopy(slot);
  ReleaseUploadRing(slot);
  SafeRelease(slot.chromaView);
  SafeRelease(slot.lumaView);
  SafeRelease(slot.nv12);
  slot.width = 0;
  slot.height = 0;
  slot.hasPicture = false;
}

void Renderer::ForgetSlotPictures() {
  forgetRequests.fetch_add(1);
}

// Render thread: acts on ForgetSlotPictures before any picture of the new
// slot list is taken or drawn. Returns whether it dropped anything.
bool Renderer::ApplyForgottenSlots() {
  const uint64_t requested = forgetRequests.load();
  if (requested == forgetsApplied.load()) return false;
  for (int p = 0; p < kMaxVideoSlots; ++p) {
    ReleaseSlotTexture(slots[p]);
    videoSize[p].exchange(0);
    lastFrameTick[p].exchange(0);
  }
  forgetsApplied.store(requested);
  return true;
}

bool Renderer::OnDecodedFrame(int slotIndex, const DecodedFrame& frame) {
  ApplyForgottenSlots();
  if (slotIndex < 0 || slotIndex >= kMaxVideoSlots || frame.width == 0 || frame.height == 0)
    return false;
  const uint32_t w = frame.width;
  const uint32_t h = frame.height;
  SlotTexture& slot = slots[slotIndex];

  if (frame.texture) {
    D3D11_TEXTURE2D_DESC sd = {};
    frame.texture->GetDesc(&sd);
    const bool whole = frame.cropX == 0 && frame.cropY == 0 && sd.Width == w && sd.Height == h;
    if (!whole && (uint64_t{frame.cropX} + w > sd.Width || uint64_t{frame.cropY} + h > sd.Height ||
                   (frame.cropX | frame.cropY | w | h) % 2 != 0))
      return false;
    // A picture on the GPU can only be copied into NV12.
    if (!nv12Supported || w % 2 != 0 || h % 2 != 0) return false;
    EnsureSlotSize(slot, w, h);
    if (!slot.nv12 && !CreateNv12Texture(slot, w, h)) return false;
    const D3D11_BOX box = {frame.cropX, frame.cropY, 0, frame.cropX + w, frame.cropY + h, 1};
    context->CopySubresourceRegion(slot.nv12, 0, 0, 0, 0, frame.texture, frame.subresourceIndex,
                                   whole ? nullptr : &box);
    slot.latest = -1;
  } else if (frame.data) {
    PlaneOffsets at;
    if (!LocatePlanes(frame.layout, frame.pitch, frame.planeRows, frame.cropX, frame.cropY, w, h,
                      frame.size, &at))
      return false;
    EnsureSlotSize(slot, w, h);
    if (!UploadPicture(slot, frame, at)) return false;
  } else {
    return false;
  }
  slot.hasPicture = true;
  ++serials.taken[slotIndex];
  videoSize[slotIndex].exchange(PackSizeWord(w, h));
  lastFrameTick[slotIndex].exchange(GetTickCount64());
  return true;
}

bool Renderer::PictureSource(const SlotTexture& slot, ID3D11PixelShader** shader,
                             ID3D11ShaderResourceView* views[3]) const {
  if (!slot.hasPicture) return false;
  if (slot.latest >= 0) {
    const UploadPlanes& planes = slot.ring[slot.latest];
    *shader = slot.ringLayout == PlaneLayout::kNv12 ? psNv12 : psI420;
    // The ring holds U before V whatever order the decoder wrote them in.
    views[0] = planes.views[0];
    views[1] = planes.views[1];
    views[2] = slot.ringLayout == PlaneLayout::kNv12 ? nullptr : planes.views[2];
    return views[0] && views[1];
  }
  if (!slot.lumaView || !slot.chromaView) return false;
  *shader = psNv12;
  views[0] = slot.lumaView;
  views[1] = slot.chromaView;
  views[2] = nullptr;
  return true;
}

// For every slot that a tile shows at less than half its size: brings its
// reduced copy up to the newest picture. Runs before the back buffer is bound.
void Renderer::MakeReducedCopies(const RenderScene& frameScene) {
  ID3D11ShaderResourceView* none[3] = {nullptr, nullptr, nullptr};
  context->PSSetShaderResources(0, 3, none);  // a copy may still be bound from the last frame
  const float fullTarget[4] = {-1.0f, 1.0f, 2.0f, -2.0f};
  for (const TileView& tile : frameScene.tiles) {
    if (tile.slotIndex < 0 || tile.slotIndex >= kMaxVideoSlots) continue;
    SlotTexture& slot = slots[tile.slotIndex];
    PixelRect r;
    bool reduced = false;
    if (!PlaceTilePicture(slot, tile, &r, &reduced) || !reduced) continue;
    const uint64_t serial = serials.taken[tile.slotIndex];
    if (slot.reducedSerial == serial) continue;
    const uint32_t rw = ReducedSide(slot.width);
    const uint32_t rh = ReducedSide(slot.height);
    if (!slot.rgb) {
      D3D11_TEXTURE2D_DESC rd = PlaneTextureDesc(rw, rh, DXGI_FORMAT_B8G8R8A8_UNORM);
      rd.MipLevels = 0;  // the full chain
      rd.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
      rd.MiscFlags = D3D11_RESOURCE_MISC_GENERATE_MIPS;
      D3D11_RENDER_TARGET_VIEW_DESC tv = {};
      tv.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
      tv.ViewDimension = D3D11_RTV_DIMENSION_TEXTURE2D;
      if (FAILED(device->CreateTexture2D(&rd, nullptr, &slot.rgb)) ||
          FAILED(device->CreateRenderTargetView(slot.rgb, &tv, &slot.rgbTarget)) ||
          FAILED(device->CreateShaderResourceView(slot.rgb, nullptr, &slot.rgbView))) {
        ReleaseReducedCopy(slot);  // the tile is drawn from the planes instead
        continue;
      }
    }
    ID3D11PixelShader* shader = nullptr;
    ID3D11ShaderResourceView* views[3] = {};
    if (!PictureSource(slot, &shader, views)) continue;
    // Each pixel of the half-size copy samples the corner its four source
    // pixels share: bilinear filtering gives their mean.
    D3D11_VIEWPORT vp = {0.0f, 0.0f, static_cast<float>(rw), static_cast<float>(rh), 0.0f, 1.0f};
    context->RSSetViewports(1, &vp);
    context->OMSetRenderTargets(1, &slot.rgbTarget, nullptr);
    DrawQuadNdc(fullTarget, kWholeSource, kNoColour, shader, views[0], views[1], views[2]);
    context->OMSetRenderTargets(0, nullptr, nullptr);
    context->PSSetShaderResources(0, 3, none);
    context->GenerateMips(slot.rgbView);
    slot.reducedSerial = serial;
    slot.drawn = slot.latest;
  }
}

void Renderer::DrawTilePictures(const RenderScene& frameScene) {
  for (const TileView& tile : frameScene.tiles) {
    if (tile.slotIndex < 0 || tile.slotIndex >= kMaxVideoSlots) continue;
    SlotTexture& slot = slots[tile.slotIndex];
    PixelRect r;
    bool reduced = false;
    if (!PlaceTilePicture(slot, tile, &r, &reduced)) continue;
    const float src[4] = {static_cast<float>(tile.uvX), static_cast<float>(tile.uvY),
                          static_cast<float>(tile.uvWidth), static_cast<float>(tile.uvHeight)};
    const float x = static_cast<float>(r.x), y = static_cast<float>(r.y);
    const float w = static_cast<float>(r.w), h = static_cast<float>(r.h);
    if (reduced && slot.rgbView && slot.reducedSerial == serials.taken[tile.slotIndex]) {
      DrawQuad(x, y, w, h, src, kNoColour, psRgb, slot.rgbView, nullptr);
      continue;
    }
    ID3D11PixelShader* shader = nullptr;
    ID3D11ShaderResourceView* views[3] = {};
    if (!PictureSource(slot, &shader, views)) continue;
    DrawQuad(x, y, w, h, src, kNoColour, shader, views[0], views[1], views[2]);
    slot.drawn = slot.latest;
  }
}

ID3D11Texture2D* Renderer::SlotPicture(int slotIndex) const {
  if (slotIndex < 0 || slotIndex >= kMaxVideoSlots) return nullptr;
  return slots[slotIndex].rgb;
}

ID3D11Texture2D* Renderer::SlotSource(int slotIndex) const {
  if (slotIndex < 0 || slotIndex >= kMaxVideoSlots) return nullptr;
  const SlotTexture& slot = slots[slotIndex];
  return slot.nv12 ? slot.nv12 : slot.ring[0].planes[0];
}
