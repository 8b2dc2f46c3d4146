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
Texture2D t2 : register(t2);
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

float4 PS_I420(VOut i) : SV_Target
{
    float y = (t0.Sample(smp, i.uv).r - 0.0625) * 1.164;
    float2 uv = float2(t1.Sample(smp, i.uv).r, t2.Sample(smp, i.uv).r) - 0.5;
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

  // Pictures decoded on the GPU are sampled straight from NV12 textures where
  // the device can; elsewhere they are decoded into system memory.
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
  if (!CompilePixelShader("PS_NV12", &psNv12) || !CompilePixelShader("PS_I420", &psI420) ||
      !CompilePixelShader("PS_RGB", &psRgb) || !CompilePixelShader("PS_SOLID", &psSolid))
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

  // Tells when the device has finished a frame; without it frames are
  // submitted as they come.
  D3D11_QUERY_DESC qd = {D3D11_QUERY_EVENT, 0};
  if (FAILED(device->CreateQuery(&qd, &frameDone))) frameDone = nullptr;

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

bool Renderer::ApplyPendingResize() {
  const uint64_t packed = pendingSize.exchange(0);
  if (packed == 0) return false;
  const int w = static_cast<int>(SizeWordWidth(packed));
  const int h = static_cast<int>(SizeWordHeight(packed));
  if (w == width && h == height) return false;
  ReleaseBackBufferTargets();
  // The Direct2D target and the pipeline may still hold the back buffer.
  context->OMSetRenderTargets(0, nullptr, nullptr);
  context->Flush();
  width = w;
  height = h;
  swapChain->ResizeBuffers(0, static_cast<UINT>(w), static_cast<UINT>(h), DXGI_FORMAT_UNKNOWN, 0);
  CreateBackBufferTargets();
  return true;
}

void Renderer::DrawQuad(float x, float y, float w, float h, const float src[4],
                        const float color[4], ID3D11PixelShader* shader,
                        ID3D11ShaderResourceView* view0, ID3D11ShaderResourceView* view1,
                        ID3D11ShaderResourceView* view2) {
  const float W = static_cast<float>(width);
  const float H = static_cast<float>(height);
  const float dst[4] = {2.0f * x / W - 1.0f, 1.0f - 2.0f * y / H, 2.0f * w / W, -2.0f * h / H};
  DrawQuadNdc(dst, src, color, shader, view0, view1, view2);
}

void Renderer::DrawQuadNdc(const float dst[4], const float src[4], const float color[4],
                           ID3D11PixelShader* shader, ID3D11ShaderResourceView* view0,
                           ID3D11ShaderResourceView* view1, ID3D11ShaderResourceView* view2) {
  D3D11_MAPPED_SUBRESOURCE mapped = {};
  if (FAILED(context->Map(constants, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) return;
  QuadConstants c;
  std::memcpy(c.dst, dst, sizeof(c.dst));
  std::memcpy(c.src, src, sizeof(c.src));
  std::memcpy(c.color, color, sizeof(c.color));
  std::memcpy(mapped.pData, &c, sizeof(c));
  context->Unmap(constants, 0);
  ID3D11ShaderResourceView* views[3] = {view0, view1, view2};
  context->PSSetShaderResources(0, 3, views);
  context->PSSetShader(shader, nullptr, 0);
  context->Draw(4, 0);
}

// The device has finished the last frame presented. A frame submitted while
// it still works on the one before would only queue behind it (and make
// Present wait for it): later, the newest pictures are drawn instead.
bool Renderer::DeviceIdle() {
  if (!frameDone || !frameSubmitted) return true;
  const UINT flags = waitForDevice ? 0 : D3D11_ASYNC_GETDATA_DONOTFLUSH;
  for (;;) {
    const HRESULT hr = context->GetData(frameDone, nullptr, 0, flags);
    if (hr != S_FALSE) break;  // done, or a query that cannot answer: never wait on it
    if (!waitForDevice) return false;
    Sleep(1);
  }
  frameSubmitted = false;
  return true;
}

bool Renderer::DrawFrame() {
  deviceBusy = false;
  if (ApplyPendingResize()) redrawPending = true;
  {
    // Assigning into the kept copy reuses its storage: a frame allocates nothing
    // once the scene's tiles and texts have been seen.
    std::lock_guard<std::mutex> lock(sceneLock);
    frameScene = scene;
  }
  // After the copy: a scene of a new slot list was posted after its
  // ForgetSlotPictures, so the old pictures are gone before it is drawn.
  if (ApplyForgottenSlots()) redrawPending = true;
  if (redrawRequested.exchange(false)) redrawPending = true;
  FrameCauses causes;
  causes.redrawAsked = redrawPending;
  causes.firstFrame = !presentedOnce;
  causes.sceneChanged = !(frameScene == lastDrawnScene);
  causes.newPictureShown = NewPictureOnScreen(frameScene, serials);
  if (!backBufferView || !FrameWanted(causes)) return false;
  if (!DeviceIdle()) {
    deviceBusy = true;
    return false;
  }

  context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
  context->IASetInputLayout(nullptr);
  context->VSSetShader(vertexShader, nullptr, 0);
  context->VSSetConstantBuffers(0, 1, &constants);
  context->PSSetConstantBuffers(0, 1, &constants);
  context->PSSetSamplers(0, 1, &sampler);
  context->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFFu);

  MakeReducedCopies(frameScene);

  D3D11_VIEWPORT vp = {0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height),
                       0.0f, 1.0f};
  context->RSSetViewports(1, &vp);
  context->OMSetRenderTargets(1, &backBufferView, nullptr);
  const float clear[4] = {0.066f, 0.082f, 0.102f, 1.0f};
  context->ClearRenderTargetView(backBufferView, clear);

  DrawTilePictures(frameScene);
  DrawHighlights(frameScene);
  if (frameScene.navigatorVisible) DrawNavigator(frameScene);
  if (frameScene.scrollIndicatorVisible) DrawScrollIndicator(frameScene);
  if (d2dTarget) {
    d2dTarget->BeginDraw();
    DrawTextOverlays(frameScene);
    d2dTarget->EndDraw();
    ReleaseTextBitmaps(true);
  }
  if (captureFrames) CaptureFrame();
  swapChain->Present(0, 0);
  if (frameDone) {
    context->End(frameDone);
    context->Flush();
    frameSubmitted = true;
  }
  ++presents;
  redrawPending = false;
  presentedOnce = true;
  lastDrawnScene = frameScene;
  NoteScenePicturesDrawn(frameScene, serials);
  return true;
}

void Renderer::CaptureFrame() {
  ID3D11Texture2D* backBuffer = BackBufferForTest();
  if (!backBuffer) return;
  D3D11_TEXTURE2D_DESC desc = {};
  backBuffer->GetDesc(&desc);
  D3D11_TEXTURE2D_DESC held = {};
  if (capturedFrame) capturedFrame->GetDesc(&held);
  if (!capturedFrame || held.Width != desc.Width || held.Height != desc.Height) {
    SafeRelease(capturedFrame);
    desc.BindFlags = 0;
    desc.MiscFlags = 0;
    desc.Usage = D3D11_USAGE_DEFAULT;
    device->CreateTexture2D(&desc, nullptr, &capturedFrame);
  }
  if (capturedFrame) context->CopyResource(capturedFrame, backBuffer);
  backBuffer->Release();
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

ID3D11Texture2D* Renderer::BackBufferForTest() const {
  ID3D11Texture2D* backBuffer = nullptr;
  if (swapChain) swapChain->GetBuffer(0, IID_PPV_ARGS(&backBuffer));
  return backBuffer;
}

void Renderer::Shutdown() {
  for (SlotTexture& slot : slots) ReleaseSlotTexture(slot);
  SafeRelease(capturedFrame);
  SafeRelease(frameDone);
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
  SafeRelease(psI420);
  SafeRelease(psNv12);
  SafeRelease(vertexShader);
  SafeRelease(deviceManager);
  SafeRelease(swapChain);
  if (context) context->ClearState();
  SafeRelease(context);
  SafeRelease(device);
}
