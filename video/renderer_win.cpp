#include "video/renderer_win.h"

#include <d3dcompiler.h>
#include <mfapi.h>

#include <cfloat>
#include <cstring>

#include "video/placement.h"

namespace {

// Every quad is four vertices made from SV_VertexID; one 48-byte constant
// update per quad (target rectangle in NDC, source rectangle in UV, colour).
const char kShaderText[] = R"(
cbuffer CB : register(b0)
{
    float4 dst;    // NDC: x0, y0, w, h (h negative = downward)
    float4 src;    // UV:  x0, y0, w, h
    float4 color;
};
struct VOut { float4 p : SV_Position; float2 uv : TEXCOORD0; };

VOut VS(uint id : SV_VertexID)
{
    float2 c = float2(id & 1, id >> 1);
    VOut o;
    o.p = float4(dst.x + c.x * dst.z, dst.y + c.y * dst.w, 0, 1);
    o.uv = src.xy + c * src.zw;
    return o;
}

Texture2D t0 : register(t0);
Texture2D t1 : register(t1);
SamplerState smp : register(s0);

float4 PS_NV12(VOut i) : SV_Target
{
    float y = (t0.Sample(smp, i.uv).r - 0.0625) * 1.164;
    float2 uv = t1.Sample(smp, i.uv).rg - 0.5;
    float3 rgb = float3(y + 1.793 * uv.y,
                        y - 0.213 * uv.x - 0.533 * uv.y,
                        y + 2.112 * uv.x);
    return float4(saturate(rgb), 1);
}

float4 PS_RGB(VOut i) : SV_Target
{
    return float4(t0.Sample(smp, i.uv).rgb, 1);
}

float4 PS_SOLID(VOut i) : SV_Target
{
    return color;
}
)";

struct QuadConstants {
  float dst[4];
  float src[4];
  float color[4];
};
static_assert(sizeof(QuadConstants) == 48, "the shader's constant buffer is three float4");

template <typename T>
void SafeRelease(T*& p) {
  if (p) {
    p->Release();
    p = nullptr;
  }
}

const float kWholeSource[4] = {0.0f, 0.0f, 1.0f, 1.0f};
const float kNoColour[4] = {0.0f, 0.0f, 0.0f, 0.0f};

}  // namespace

bool Renderer::Init(HWND win) {
  window = win;
  RECT client = {};
  GetClientRect(window, &client);
  width = client.right > 0 ? client.right : 8;
  height = client.bottom > 0 ? client.bottom : 8;

  const UINT flags = D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT;  // 0x820
  if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, flags, nullptr, 0,
                               D3D11_SDK_VERSION, &device, nullptr, &context)))
    return false;

  ID3D10Multithread* multithread = nullptr;
  if (SUCCEEDED(device->QueryInterface(IID_PPV_ARGS(&multithread))) && multithread) {
    multithread->SetMultithreadProtected(TRUE);
    multithread->Release();
  }

  // Decoded pictures are sampled straight from NV12 textures where the
  // device can; otherwise each picture is uploaded as two plane textures.
  nv12Supported = ProbeNv12Textures();

  if (FAILED(MFCreateDXGIDeviceManager(&resetToken, &deviceManager))) return false;
  if (FAILED(deviceManager->ResetDevice(device, resetToken))) return false;

  IDXGIDevice* dxgiDevice = nullptr;
  IDXGIAdapter* adapter = nullptr;
  IDXGIFactory2* factory = nullptr;
  HRESULT hr = device->QueryInterface(IID_PPV_ARGS(&dxgiDevice));
  if (SUCCEEDED(hr)) hr = dxgiDevice->GetAdapter(&adapter);
  if (SUCCEEDED(hr)) hr = adapter->GetParent(IID_PPV_ARGS(&factory));
  if (SUCCEEDED(hr)) {
    DXGI_SWAP_CHAIN_DESC1 desc = {};
    desc.Width = static_cast<UINT>(width);
    desc.Height = static_cast<UINT>(height);
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.Stereo = FALSE;
    desc.SampleDesc.Count = 1;
    desc.SampleDesc.Quality = 0;
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.Scaling = DXGI_SCALING_STRETCH;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    desc.AlphaMode = DXGI_ALPHA_MODE_UNSPECIFIED;
    desc.Flags = 0;
    hr = factory->CreateSwapChainForHwnd(device, window, &desc, nullptr, nullptr, &swapChain);
    if (SUCCEEDED(hr)) factory->MakeWindowAssociation(window, DXGI_MWA_NO_ALT_ENTER);
  }
  SafeRelease(factory);
  SafeRelease(adapter);
  SafeRelease(dxgiDevice);
  if (FAILED(hr) || !swapChain) return false;

  ID3DBlob* code = nullptr;
  hr = D3DCompile(kShaderText, sizeof(kShaderText) - 1, nullptr, nullptr, nullptr, "VS", "vs_4_0",
                  0, 0, &code, nullptr);
  if (FAILED(hr) || !code) return false;
  hr = device->CreateVertexShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr,
                                  &vertexShader);
  code->Release();
  if (FAILED(hr)) return false;
  if (!CompilePixelShader("PS_NV12", &psNv12) || !CompilePixelShader("PS_RGB", &psRgb) ||
      !CompilePixelShader("PS_SOLID", &psSolid))
    return false;

  D3D11_BUFFER_DESC cb = {};
  cb.ByteWidth = sizeof(QuadConstants);
  cb.Usage = D3D11_USAGE_DYNAMIC;
  cb.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
  cb.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
  if (FAILED(device->CreateBuffer(&cb, nullptr, &constants))) return false;

  D3D11_SAMPLER_DESC sd = {};
  sd.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
  sd.AddressU = sd.AddressV = sd.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
  sd.MaxLOD = FLT_MAX;
  if (FAILED(device->CreateSamplerState(&sd, &sampler))) return false;

  D3D11_BLEND_DESC bd = {};
  bd.AlphaToCoverageEnable = FALSE;
  bd.RenderTarget[0].BlendEnable = TRUE;
  bd.RenderTarget[0].SrcBlend = D3D11_BLEND_SRC_ALPHA;
  bd.RenderTarget[0].DestBlend = D3D11_BLEND_INV_SRC_ALPHA;
  bd.RenderTarget[0].BlendOp = D3D11_BLEND_OP_ADD;
  bd.RenderTarget[0].SrcBlendAlpha = D3D11_BLEND_ONE;
  bd.RenderTarget[0].DestBlendAlpha = D3D11_BLEND_INV_SRC_ALPHA;
  bd.RenderTarget[0].BlendOpAlpha = D3D11_BLEND_OP_ADD;
  bd.RenderTarget[0].RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
  if (FAILED(device->CreateBlendState(&bd, &blend))) return false;

  if (FAILED(D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                               reinterpret_cast<void**>(&d2dFactory))))
    return false;
  if (FAILED(DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                 reinterpret_cast<IUnknown**>(&dwriteFactory))))
    return false;
  CreateTextFormats();

  return CreateBackBufferTargets();
}

bool Renderer::CompilePixelShader(const char* entry, ID3D11PixelShader** shader) {
  ID3DBlob* code = nullptr;
  HRESULT hr = D3DCompile(kShaderText, sizeof(kShaderText) - 1, nullptr, nullptr, nullptr, entry,
                          "ps_4_0", 0, 0, &code, nullptr);
  if (FAILED(hr) || !code) return false;
  hr = device->CreatePixelShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, shader);
  code->Release();
  return SUCCEEDED(hr);
}

bool Renderer::CreateBackBufferTargets() {
  ID3D11Texture2D* backBuffer = nullptr;
  if (FAILED(swapChain->GetBuffer(0, IID_PPV_ARGS(&backBuffer))) || !backBuffer) return false;
  const HRESULT hr = device->CreateRenderTargetView(backBuffer, nullptr, &backBufferView);
  IDXGISurface* surface = nullptr;
  if (SUCCEEDED(backBuffer->QueryInterface(IID_PPV_ARGS(&surface))) && surface) {
    // Overlay positions are window pixels: one DIP is one pixel.
    const D2D1_RENDER_TARGET_PROPERTIES props = D2D1::RenderTargetProperties(
        D2D1_RENDER_TARGET_TYPE_DEFAULT,
        D2D1::PixelFormat(DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_PREMULTIPLIED), 96.0f, 96.0f);
    if (SUCCEEDED(d2dFactory->CreateDxgiSurfaceRenderTarget(surface, &props, &d2dTarget)) &&
        d2dTarget)
      d2dTarget->CreateSolidColorBrush(D2D1::ColorF(1.0f, 1.0f, 1.0f, 1.0f), &brush);
    surface->Release();
  }
  backBuffer->Release();
  return SUCCEEDED(hr) && backBufferView;
}

void Renderer::ReleaseBackBufferTargets() {
  ReleaseTextBitmaps(false);  // they belong to d2dTarget
  SafeRelease(brush);
  SafeRelease(d2dTarget);
  SafeRelease(backBufferView);
}

void Renderer::ApplyPendingResize() {
  const uint64_t packed = pendingSize.exchange(0);
  if (packed == 0) return;
  const int w = static_cast<int>(SizeWordWidth(packed));
  const int h = static_cast<int>(SizeWordHeight(packed));
  if (w == width && h == height) return;
  ReleaseBackBufferTargets();
  // The Direct2D target and the pipeline may still hold the back buffer.
  context->OMSetRenderTargets(0, nullptr, nullptr);
  context->Flush();
  width = w;
  height = h;
  swapChain->ResizeBuffers(0, static_cast<UINT>(w), static_cast<UINT>(h), DXGI_FORMAT_UNKNOWN, 0);
  CreateBackBufferTargets();
}

namespace {

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
  ReleaseSlotTexture(slot);
  return false;
}

bool Renderer::EnsureSlotTexture(SlotTexture& slot, uint32_t w, uint32_t h, bool needNv12) {
  const bool formOk = needNv12 ? slot.nv12 != nullptr : true;
  if ((slot.nv12 || slot.luma) && formOk && slot.width == w && slot.height == h) return true;
  ReleaseSlotTexture(slot);

  D3D11_TEXTURE2D_DESC td = PlaneTextureDesc(w, h, DXGI_FORMAT_R8_UNORM);
  D3D11_SHADER_RESOURCE_VIEW_DESC vd = PlaneViewDesc(DXGI_FORMAT_R8_UNORM);

  // A failure here belongs to this picture (memory, size), not to the
  // device: the capability stays, and the next picture tries again.
  if (nv12Supported && w % 2 == 0 && h % 2 == 0) CreateNv12Texture(slot, w, h);
  if (!slot.nv12) {
    if (needNv12) return false;  // a GPU picture can only be copied into NV12
    td.Format = DXGI_FORMAT_R8_UNORM;
    if (FAILED(device->CreateTexture2D(&td, nullptr, &slot.luma))) return false;
    td.Width = (w + 1) / 2;
    td.Height = (h + 1) / 2;
    td.Format = DXGI_FORMAT_R8G8_UNORM;
    if (FAILED(device->CreateTexture2D(&td, nullptr, &slot.chroma))) {
      ReleaseSlotTexture(slot);
      return false;
    }
    vd.Format = DXGI_FORMAT_R8_UNORM;
    if (FAILED(device->CreateShaderResourceView(slot.luma, &vd, &slot.lumaView))) {
      ReleaseSlotTexture(slot);
      return false;
    }
    vd.Format = DXGI_FORMAT_R8G8_UNORM;
    if (FAILED(device->CreateShaderResourceView(slot.chroma, &vd, &slot.chromaView))) {
      ReleaseSlotTexture(slot);
      return false;
    }
  }

  D3D11_TEXTURE2D_DESC rd = {};
  rd.Width = w;
  rd.Height = h;
  rd.MipLevels = 0;
  rd.ArraySize = 1;
  rd.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  rd.SampleDesc.Count = 1;
  rd.Usage = D3D11_USAGE_DEFAULT;
  rd.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
  rd.MiscFlags = D3D11_RESOURCE_MISC_GENERATE_MIPS;
  if (FAILED(device->CreateTexture2D(&rd, nullptr, &slot.rgb))) return false;
  D3D11_RENDER_TARGET_VIEW_DESC tv = {};
  tv.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  tv.ViewDimension = D3D11_RTV_DIMENSION_TEXTURE2D;
  tv.Texture2D.MipSlice = 0;
  device->CreateRenderTargetView(slot.rgb, &tv, &slot.rgbTarget);
  device->CreateShaderResourceView(slot.rgb, nullptr, &slot.rgbView);
  slot.width = w;
  slot.height = h;
  return true;
}

void Renderer::ReleaseSlotTexture(SlotTexture& slot) {
  SafeRelease(slot.rgbView);
  SafeRelease(slot.rgbTarget);
  SafeRelease(slot.rgb);
  SafeRelease(slot.chromaView);
  SafeRelease(slot.lumaView);
  SafeRelease(slot.chroma);
  SafeRelease(slot.luma);
  SafeRelease(slot.nv12);
  slot.width = 0;
  slot.height = 0;
  slot.newFrame = false;
}

void Renderer::ForgetSlotPictures() {
  forgetRequests.fetch_add(1);
}

// Render thread: acts on ForgetSlotPictures before any picture of the new
// slot list is taken or drawn.
void Renderer::ApplyForgottenSlots() {
  const uint64_t requested = forgetRequests.load();
  if (requested == forgetsApplied.load()) return;
  for (int p = 0; p < kMaxVideoSlots; ++p) {
    ReleaseSlotTexture(slots[p]);
    videoSize[p].exchange(0);
    lastFrameTick[p].exchange(0);
  }
  forgetsApplied.store(requested);
}

bool Renderer::OnDecodedFrame(int slotIndex, const DecodedFrame& frame) {
  ApplyForgottenSlots();
  if (slotIndex < 0 || slotIndex >= kMaxVideoSlots || frame.width == 0 || frame.height == 0)
    return false;
  const uint32_t w = frame.width;
  const uint32_t h = frame.height;
  SlotTexture& slot = slots[slotIndex];

  if (frame.texture) {
    if (!EnsureSlotTexture(slot, w, h, true)) return false;
    D3D11_TEXTURE2D_DESC sd = {};
    frame.texture->GetDesc(&sd);
    const bool whole = frame.cropX == 0 && frame.cropY == 0 && sd.Width == w && sd.Height == h;
    if (!whole && (uint64_t{frame.cropX} + w > sd.Width || uint64_t{frame.cropY} + h > sd.Height ||
                   (frame.cropX | frame.cropY | w | h) % 2 != 0))
      return false;
    const D3D11_BOX box = {frame.cropX, frame.cropY, 0, frame.cropX + w, frame.cropY + h, 1};
    context->CopySubresourceRegion(slot.nv12, 0, 0, 0, 0, frame.texture, frame.subresourceIndex,
                                   whole ? nullptr : &box);
  } else if (frame.data) {
    // The visible area must lie inside the picture's rows and pitch.
    if (frame.pitch == 0 || uint64_t{frame.cropX} + w > frame.pitch ||
        uint64_t{frame.cropY} + h > frame.planeRows)
      return false;
    if (!EnsureSlotTexture(slot, w, h, false)) return false;
    const uint8_t* y = frame.data + size_t{frame.cropY} * frame.pitch + frame.cropX;
    const uint8_t* uv = frame.data + size_t{frame.planeRows} * frame.pitch +
                        size_t{frame.cropY / 2} * frame.pitch + size_t{frame.cropX / 2} * 2;
    if (slot.nv12) {
      // Y rows then UV rows at one pitch, the UV plane right after h rows.
      const size_t pitch = frame.pitch;
      if (frame.cropX == 0 && frame.cropY == 0 && frame.planeRows == h) {
        context->UpdateSubresource(slot.nv12, 0, nullptr, frame.data, frame.pitch, 0);
      } else {
        upload.resize(pitch * (h + h / 2));
        for (uint32_t row = 0; row < h; ++row)
          std::memcpy(&upload[row * pitch], y + row * pitch, w);
        for (uint32_t row = 0; row < h / 2; ++row)
          std::memcpy(&upload[(h + row) * pitch], uv + row * pitch, w);
        context->UpdateSubresource(slot.nv12, 0, nullptr, upload.data(), frame.pitch, 0);
      }
    } else {
      context->UpdateSubresource(slot.luma, 0, nullptr, y, frame.pitch, 0);
      context->UpdateSubresource(slot.chroma, 0, nullptr, uv, frame.pitch, 0);
    }
  } else {
    return false;
  }
  slot.newFrame = true;
  videoSize[slotIndex].exchange(PackSizeWord(w, h));
  lastFrameTick[slotIndex].exchange(GetTickCount64());
  return true;
}

void Renderer::DrawQuad(float x, float y, float w, float h, const float src[4],
                        const float color[4], ID3D11PixelShader* shader,
                        ID3D11ShaderResourceView* view0, ID3D11ShaderResourceView* view1) {
  const float W = static_cast<float>(width);
  const float H = static_cast<float>(height);
  const float dst[4] = {2.0f * x / W - 1.0f, 1.0f - 2.0f * y / H, 2.0f * w / W, -2.0f * h / H};
  DrawQuadNdc(dst, src, color, shader, view0, view1);
}

void Renderer::DrawQuadNdc(const float dst[4], const float src[4], const float color[4],
                           ID3D11PixelShader* shader, ID3D11ShaderResourceView* view0,
                           ID3D11ShaderResourceView* view1) {
  D3D11_MAPPED_SUBRESOURCE mapped = {};
  if (FAILED(context->Map(constants, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) return;
  QuadConstants c;
  std::memcpy(c.dst, dst, sizeof(c.dst));
  std::memcpy(c.src, src, sizeof(c.src));
  std::memcpy(c.color, color, sizeof(c.color));
  std::memcpy(mapped.pData, &c, sizeof(c));
  context->Unmap(constants, 0);
  ID3D11ShaderResourceView* views[2] = {view0, view1};
  context->PSSetShaderResources(0, 2, views);
  context->PSSetShader(shader, nullptr, 0);
  context->Draw(4, 0);
}

void Renderer::ConvertNewPictures() {
  ID3D11ShaderResourceView* none[2] = {nullptr, nullptr};
  context->PSSetShaderResources(0, 2,
                                none);  // an rgb texture may still be bound from the last frame
  const float fullTarget[4] = {-1.0f, 1.0f, 2.0f, -2.0f};
  for (SlotTexture& slot : slots) {
    if (!slot.newFrame || !slot.rgbTarget) continue;
    D3D11_VIEWPORT vp = {
        0.0f, 0.0f, static_cast<float>(slot.width), static_cast<float>(slot.height), 0.0f, 1.0f};
    context->RSSetViewports(1, &vp);
    context->OMSetRenderTargets(1, &slot.rgbTarget, nullptr);
    DrawQuadNdc(fullTarget, kWholeSource, kNoColour, psNv12, slot.lumaView, slot.chromaView);
    context->OMSetRenderTargets(0, nullptr, nullptr);
    context->PSSetShaderResources(0, 2, none);
    context->GenerateMips(slot.rgbView);
    slot.newFrame = false;
  }
}

void Renderer::DrawTilePictures(const RenderScene& frameScene) {
  for (const TileView& tile : frameScene.tiles) {
    if (tile.slotIndex < 0 || tile.slotIndex >= kMaxVideoSlots) continue;
    const SlotTexture& slot = slots[tile.slotIndex];
    if (!slot.rgbView || slot.width == 0) continue;
    PixelRect r;
    if (!PlacePicture(slot.width, slot.height, tile.uvWidth, tile.uvHeight, tile.left, tile.top,
                      tile.right, tile.bottom, &r))
      continue;
    const float src[4] = {static_cast<float>(tile.uvX), static_cast<float>(tile.uvY),
                          static_cast<float>(tile.uvWidth), static_cast<float>(tile.uvHeight)};
    DrawQuad(static_cast<float>(r.x), static_cast<float>(r.y), static_cast<float>(r.w),
             static_cast<float>(r.h), src, kNoColour, psRgb, slot.rgbView, nullptr);
  }
}

void Renderer::DrawFrame() {
  ApplyPendingResize();
  {
    // Assigning into the kept copy reuses its storage: a frame allocates nothing
    // once the scene's tiles and texts have been seen.
    std::lock_guard<std::mutex> lock(sceneLock);
    frameScene = scene;
  }
  // After the copy: a scene of a new slot list was posted after its
  // ForgetSlotPictures, so the old pictures are gone before it is drawn.
  ApplyForgottenSlots();

  context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
  context->IASetInputLayout(nullptr);
  context->VSSetShader(vertexShader, nullptr, 0);
  context->VSSetConstantBuffers(0, 1, &constants);
  context->PSSetConstantBuffers(0, 1, &constants);
  context->PSSetSamplers(0, 1, &sampler);
  context->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFFu);

  ConvertNewPictures();
  if (!backBufferView) return;

  D3D11_VIEWPORT vp = {0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height),
                       0.0f, 1.0f};
  context->RSSetViewports(1, &vp);
  context->OMSetRenderTargets(1, &backBufferView, nullptr);
  const float clear[4] = {0.066f, 0.082f, 0.102f, 1.0f};
  context->ClearRenderTargetView(backBufferView, clear);

  DrawTilePictures(frameScene);
  if (frameScene.navigatorVisible) DrawNavigator(frameScene);
  if (frameScene.scrollIndicatorVisible) DrawScrollIndicator(frameScene);
  if (d2dTarget) {
    d2dTarget->BeginDraw();
    DrawTextOverlays(frameScene);
    d2dTarget->EndDraw();
    ReleaseTextBitmaps(true);
  }
  swapChain->Present(0, 0);
}

void Renderer::RequestResize(int w, int h) {
  pendingSize.exchange(PackResizeRequest(w, h));
}

void Renderer::SetScene(const RenderScene& newScene) {
  std::lock_guard<std::mutex> lock(sceneLock);
  scene = newScene;
}

VideoSize Renderer::GetVideoSize(int slotIndex) const {
  VideoSize size;
  if (slotIndex < 0 || slotIndex >= kMaxVideoSlots) return size;
  if (forgetRequests.load() != forgetsApplied.load()) return size;  // the old list's
  const uint64_t packed = videoSize[slotIndex].load();
  size.width = SizeWordWidth(packed);
  size.height = SizeWordHeight(packed);
  return size;
}

uint64_t Renderer::GetLastFrameTick(int slotIndex) const {
  if (slotIndex < 0 || slotIndex >= kMaxVideoSlots) return 0;
  if (forgetRequests.load() != forgetsApplied.load()) return 0;  // the old list's
  return lastFrameTick[slotIndex].load();
}

ID3D11Texture2D* Renderer::SlotPicture(int slotIndex) const {
  if (slotIndex < 0 || slotIndex >= kMaxVideoSlots) return nullptr;
  return slots[slotIndex].rgb;
}

ID3D11Texture2D* Renderer::SlotSource(int slotIndex) const {
  if (slotIndex < 0 || slotIndex >= kMaxVideoSlots) return nullptr;
  return slots[slotIndex].nv12 ? slots[slotIndex].nv12 : slots[slotIndex].luma;
}

ID3D11Texture2D* Renderer::BackBufferForTest() const {
  ID3D11Texture2D* backBuffer = nullptr;
  if (swapChain) swapChain->GetBuffer(0, IID_PPV_ARGS(&backBuffer));
  return backBuffer;
}

void Renderer::Shutdown() {
  for (SlotTexture& slot : slots) ReleaseSlotTexture(slot);
  SafeRelease(iconFormat);
  SafeRelease(messageFormat);
  SafeRelease(labelFormat);
  SafeRelease(dwriteFactory);
  ReleaseTextBitmaps(false);
  SafeRelease(brush);
  SafeRelease(d2dTarget);
  SafeRelease(backBufferView);
  SafeRelease(d2dFactory);
  SafeRelease(blend);
  SafeRelease(sampler);
  SafeRelease(constants);
  SafeRelease(psSolid);
  SafeRelease(psRgb);
  SafeRelease(psNv12);
  SafeRelease(vertexShader);
  SafeRelease(deviceManager);
  SafeRelease(swapChain);
  if (context) context->ClearState();
  SafeRelease(context);
  SafeRelease(device);
}
