// What each way of uploading a system-memory picture costs the thread that
// uploads: a 1920x1080 picture as an R8 luma and an R8G8 chroma plane, drawn
// after every upload into a window-sized target and presented, as the render
// thread does with a camera's pictures. For each way it prints the median and
// 90th percentile of the upload calls' wall time, the frames per second of the
// loop and the process CPU per frame (every thread: the device's workers too):
//
//   update      UpdateSubresource into the one texture pair that is drawn
//   update-ring UpdateSubresource into a ring of three pairs, drawing the newest
//   stripes     UpdateSubresource into the one pair in bands of 64 rows
//   dynamic     Map(WRITE_DISCARD) of a ring of three dynamic pairs
//   staging     Map(WRITE) of a ring of three staging pairs, copied by the
//               device into the one default pair that is drawn
//
//   upload_bench_win [--frames 240] [--width 1920] [--height 1080]
//
// Prints "RESULT name value" lines for tools/bench.sh.
#include <windows.h>
#include <d3d11.h>
#include <d3dcompiler.h>
#include <dxgi1_2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_clock_win.h"

namespace {

const char kShader[] = R"(
Texture2D t0 : register(t0);
Texture2D t1 : register(t1);
SamplerState smp : register(s0);
struct VOut { float4 p : SV_Position; float2 uv : TEXCOORD0; };
VOut VS(uint id : SV_VertexID)
{
    float2 c = float2(id & 1, id >> 1);
    VOut o;
    o.p = float4(-1 + 2 * c.x, 1 - 2 * c.y, 0, 1);
    o.uv = c;
    return o;
}
float4 PS_RGB(VOut i) : SV_Target
{
    return float4(t0.Sample(smp, i.uv).rgb, 1);
}
float4 PS_SOLID(VOut i) : SV_Target
{
    return float4(0.2, 0.3, 0.4, 1);
}
float4 PS(VOut i) : SV_Target
{
    return float4(t0.Sample(smp, i.uv).r, t1.Sample(smp, i.uv).rg, 1);
}
)";

struct Pair {
  ID3D11Texture2D* luma = nullptr;
  ID3D11Texture2D* chroma = nullptr;
  ID3D11ShaderResourceView* lumaView = nullptr;
  ID3D11ShaderResourceView* chromaView = nullptr;
};

bool MakePair(ID3D11Device* device, int w, int h, D3D11_USAGE usage, Pair& pair) {
  D3D11_TEXTURE2D_DESC td = {};
  td.Width = static_cast<UINT>(w);
  td.Height = static_cast<UINT>(h);
  td.MipLevels = 1;
  td.ArraySize = 1;
  td.Format = DXGI_FORMAT_R8_UNORM;
  td.SampleDesc.Count = 1;
  td.Usage = usage;
  td.BindFlags = usage == D3D11_USAGE_STAGING ? 0 : D3D11_BIND_SHADER_RESOURCE;
  td.CPUAccessFlags = usage == D3D11_USAGE_DEFAULT ? 0 : D3D11_CPU_ACCESS_WRITE;
  if (FAILED(device->CreateTexture2D(&td, nullptr, &pair.luma))) return false;
  td.Width = static_cast<UINT>(w / 2);
  td.Height = static_cast<UINT>(h / 2);
  td.Format = DXGI_FORMAT_R8G8_UNORM;
  if (FAILED(device->CreateTexture2D(&td, nullptr, &pair.chroma))) return false;
  if (usage == D3D11_USAGE_STAGING) return true;
  return SUCCEEDED(device->CreateShaderResourceView(pair.luma, nullptr, &pair.lumaView)) &&
         SUCCEEDED(device->CreateShaderResourceView(pair.chroma, nullptr, &pair.chromaView));
}

void ReleasePair(Pair& pair) {
  if (pair.chromaView) pair.chromaView->Release();
  if (pair.lumaView) pair.lumaView->Release();
  if (pair.chroma) pair.chroma->Release();
  if (pair.luma) pair.luma->Release();
  pair = Pair{};
}

// Writes rows of `rowBytes` from src (pitch `srcPitch`) into a mapped texture.
bool MapAndCopy(ID3D11DeviceContext* context, ID3D11Texture2D* texture, D3D11_MAP mode,
                const uint8_t* src, size_t srcPitch, size_t rowBytes, int rows) {
  D3D11_MAPPED_SUBRESOURCE mapped = {};
  if (FAILED(context->Map(texture, 0, mode, 0, &mapped))) return false;
  auto* dst = static_cast<uint8_t*>(mapped.pData);
  for (int r = 0; r < rows; ++r)
    std::memcpy(dst + size_t(r) * mapped.RowPitch, src + size_t(r) * srcPitch, rowBytes);
  context->Unmap(texture, 0);
  return true;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 240, w = 1920, h = 1080;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--frames") frames = std::atoi(argv[i + 1]);
    if (a == "--width") w = std::atoi(argv[i + 1]);
    if (a == "--height") h = std::atoi(argv[i + 1]);
  }
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"UploadBench";
  RegisterClassExW(&wc);
  HWND window = CreateWindowExW(0, wc.lpszClassName, L"upload bench", WS_POPUP | WS_VISIBLE, 0, 0,
                                w, h, nullptr, nullptr, wc.hInstance, nullptr);
  ID3D11Device* device = nullptr;
  ID3D11DeviceContext* context = nullptr;
  if (!window || FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                          D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0,
                                          D3D11_SDK_VERSION, &device, nullptr, &context))) {
    std::printf("no device\n");
    return 1;
  }
  IDXGIDevice* dxgiDevice = nullptr;
  IDXGIAdapter* adapter = nullptr;
  IDXGIFactory2* factory = nullptr;
  IDXGISwapChain1* swapChain = nullptr;
  device->QueryInterface(IID_PPV_ARGS(&dxgiDevice));
  dxgiDevice->GetAdapter(&adapter);
  adapter->GetParent(IID_PPV_ARGS(&factory));
  DXGI_SWAP_CHAIN_DESC1 sd = {};
  sd.Width = static_cast<UINT>(w);
  sd.Height = static_cast<UINT>(h);
  sd.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  sd.SampleDesc.Count = 1;
  sd.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
  sd.BufferCount = 2;
  sd.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
  factory->CreateSwapChainForHwnd(device, window, &sd, nullptr, nullptr, &swapChain);
  factory->Release();
  adapter->Release();
  dxgiDevice->Release();
  ID3D11Texture2D* backBuffer = nullptr;
  ID3D11RenderTargetView* target = nullptr;
  swapChain->GetBuffer(0, IID_PPV_ARGS(&backBuffer));
  device->CreateRenderTargetView(backBuffer, nullptr, &target);
  backBuffer->Release();

  ID3DBlob* vsCode = nullptr;
  ID3DBlob* psCode = nullptr;
  D3DCompile(kShader, sizeof(kShader) - 1, nullptr, nullptr, nullptr, "VS", "vs_4_0", 0, 0, &vsCode,
             nullptr);
  D3DCompile(kShader, sizeof(kShader) - 1, nullptr, nullptr, nullptr, "PS", "ps_4_0", 0, 0, &psCode,
             nullptr);
  ID3D11VertexShader* vs = nullptr;
  ID3D11PixelShader* ps = nullptr;
  ID3D11PixelShader* psSolid = nullptr;
  ID3D11PixelShader* psRgb = nullptr;
  {
    ID3DBlob* rgbCode = nullptr;
    D3DCompile(kShader, sizeof(kShader) - 1, nullptr, nullptr, nullptr, "PS_RGB", "ps_4_0", 0, 0,
               &rgbCode, nullptr);
    device->CreatePixelShader(rgbCode->GetBufferPointer(), rgbCode->GetBufferSize(), nullptr,
                              &psRgb);
    rgbCode->Release();
  }
  // A converted picture, BGRA, as the rgb ways draw it.
  ID3D11Texture2D* rgbTexture = nullptr;
  ID3D11ShaderResourceView* rgbView = nullptr;
  {
    D3D11_TEXTURE2D_DESC td = {};
    td.Width = UINT(w);
    td.Height = UINT(h);
    td.MipLevels = 1;
    td.ArraySize = 1;
    td.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    td.SampleDesc.Count = 1;
    td.Usage = D3D11_USAGE_DEFAULT;
    td.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    std::vector<uint32_t> pixels(size_t(w) * size_t(h), 0xFF336699u);
    D3D11_SUBRESOURCE_DATA init = {pixels.data(), UINT(w * 4), 0};
    device->CreateTexture2D(&td, &init, &rgbTexture);
    device->CreateShaderResourceView(rgbTexture, nullptr, &rgbView);
  }
  {
    ID3DBlob* solidCode = nullptr;
    D3DCompile(kShader, sizeof(kShader) - 1, nullptr, nullptr, nullptr, "PS_SOLID", "ps_4_0", 0, 0,
               &solidCode, nullptr);
    device->CreatePixelShader(solidCode->GetBufferPointer(), solidCode->GetBufferSize(), nullptr,
                              &psSolid);
    solidCode->Release();
  }
  device->CreateVertexShader(vsCode->GetBufferPointer(), vsCode->GetBufferSize(), nullptr, &vs);
  device->CreatePixelShader(psCode->GetBufferPointer(), psCode->GetBufferSize(), nullptr, &ps);
  vsCode->Release();
  psCode->Release();
  D3D11_SAMPLER_DESC smp = {};
  smp.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
  smp.AddressU = smp.AddressV = smp.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
  ID3D11SamplerState* sampler = nullptr;
  device->CreateSamplerState(&smp, &sampler);
  smp.Filter = D3D11_FILTER_MIN_MAG_MIP_POINT;
  ID3D11SamplerState* pointSampler = nullptr;
  device->CreateSamplerState(&smp, &pointSampler);
  smp.Filter = D3D11_FILTER_MIN_MAG_LINEAR_MIP_POINT;
  ID3D11SamplerState* bilinearSampler = nullptr;
  device->CreateSamplerState(&smp, &bilinearSampler);

  // A picture that changes every frame: one row band moves down.
  const size_t pitch = static_cast<size_t>(w);
  std::vector<uint8_t> picture(pitch * static_cast<size_t>(h + h / 2), 128);

  const char* ways[] = {"present",    "solid",         "rgb-point", "rgb-bilinear", "rgb",
                        "draw-point", "draw-bilinear", "draw",      "update",       "update-ring",
                        "stripes",    "dynamic",       "staging"};
  for (const char* way : ways) {
    const std::string name = way;
    // present: clear and present alone; draw: the draw of an unchanged picture.
    const bool ring = name != "update" && name != "stripes" && name != "present" &&
                      name.rfind("draw", 0) != 0 && name != "solid" && name.rfind("rgb", 0) != 0;
    const D3D11_USAGE usage = name == "dynamic"   ? D3D11_USAGE_DYNAMIC
                              : name == "staging" ? D3D11_USAGE_STAGING
                                                  : D3D11_USAGE_DEFAULT;
    Pair pairs[3];
    Pair shown;  // the staging way's drawn pair
    bool ok = true;
    for (int i = 0; i < (ring ? 3 : 1); ++i) ok = ok && MakePair(device, w, h, usage, pairs[i]);
    if (name == "staging") ok = ok && MakePair(device, w, h, D3D11_USAGE_DEFAULT, shown);
    if (!ok) {
      std::printf("%-12s textures could not be made\n", way);
      for (Pair& p : pairs) ReleasePair(p);
      ReleasePair(shown);
      continue;
    }
    std::vector<double> uploads;
    const double cpu0 = ProcessCpuMs();
    const double t0 = NowMs();
    for (int f = 0; f < frames; ++f) {
      std::memset(&picture[size_t((f * 8) % h) * pitch], f & 0xFF, pitch * 8);
      Pair& next = pairs[ring ? f % 3 : 0];
      const uint8_t* uv = picture.data() + pitch * size_t(h);
      const double u0 = NowMs();
      if (name == "present" || name == "solid" || name.rfind("draw", 0) == 0 ||
          name.rfind("rgb", 0) == 0) {
      } else if (name == "update" || name == "update-ring") {
        context->UpdateSubresource(next.luma, 0, nullptr, picture.data(), UINT(pitch), 0);
        context->UpdateSubresource(next.chroma, 0, nullptr, uv, UINT(pitch), 0);
      } else if (name == "stripes") {
        for (int top = 0; top < h; top += 64) {
          const int bottom = std::min(h, top + 64);
          const D3D11_BOX box = {0, UINT(top), 0, UINT(w), UINT(bottom), 1};
          context->UpdateSubresource(next.luma, 0, &box, picture.data() + size_t(top) * pitch,
                                     UINT(pitch), 0);
          if (top / 2 < h / 2) {
            const D3D11_BOX half = {
                0, UINT(top / 2), 0, UINT(w / 2), UINT(std::min(h / 2, bottom / 2)), 1};
            context->UpdateSubresource(next.chroma, 0, &half, uv + size_t(top / 2) * pitch,
                                       UINT(pitch), 0);
          }
        }
      } else {
        const D3D11_MAP mode = name == "dynamic" ? D3D11_MAP_WRITE_DISCARD : D3D11_MAP_WRITE;
        MapAndCopy(context, next.luma, mode, picture.data(), pitch, size_t(w), h);
        MapAndCopy(context, next.chroma, mode, uv, pitch, size_t(w), h / 2);
        if (name == "staging") {
          context->CopyResource(shown.luma, next.luma);
          context->CopyResource(shown.chroma, next.chroma);
        }
      }
      uploads.push_back(NowMs() - u0);
      const Pair& drawn = name == "staging" ? shown : next;
      D3D11_VIEWPORT vp = {0, 0, float(w), float(h), 0, 1};
      context->RSSetViewports(1, &vp);
      context->OMSetRenderTargets(1, &target, nullptr);
      context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
      context->VSSetShader(vs, nullptr, 0);
      const bool rgb = name.rfind("rgb", 0) == 0;
      context->PSSetShader(name == "solid" ? psSolid : rgb ? psRgb : ps, nullptr, 0);
      ID3D11SamplerState* chosen = name == "draw-point" || name == "rgb-point" ? pointSampler
                                   : name == "draw-bilinear" || name == "rgb-bilinear"
                                       ? bilinearSampler
                                       : sampler;
      context->PSSetSamplers(0, 1, &chosen);
      ID3D11ShaderResourceView* views[2] = {rgb ? rgbView : drawn.lumaView,
                                            rgb ? nullptr : drawn.chromaView};
      context->PSSetShaderResources(0, 2, views);
      const float clear[4] = {0.1f, 0.1f, 0.1f, 1.0f};
      if (name == "present")
        context->ClearRenderTargetView(target, clear);
      else
        context->Draw(4, 0);
      ID3D11ShaderResourceView* none[2] = {nullptr, nullptr};
      context->PSSetShaderResources(0, 2, none);
      swapChain->Present(0, 0);
    }
    const double wall = NowMs() - t0;
    const double cpu = ProcessCpuMs() - cpu0;
    std::printf("%-12s upload median %6.2f ms  p90 %6.2f ms  %6.1f frames/s  cpu %6.2f ms/frame\n",
                way, Percentile(uploads, 0.5), Percentile(uploads, 0.9), frames * 1000.0 / wall,
                cpu / frames);
    std::printf("RESULT upload_%s_median_ms %.3f\n", way, Percentile(uploads, 0.5));
    std::printf("RESULT upload_%s_fps %.2f\n", way, frames * 1000.0 / wall);
    std::printf("RESULT upload_%s_cpu_ms_per_frame %.3f\n", way, cpu / frames);
    std::fflush(stdout);
    for (Pair& p : pairs) ReleasePair(p);
    ReleasePair(shown);
  }
  rgbView->Release();
  rgbTexture->Release();
  psRgb->Release();
  bilinearSampler->Release();
  pointSampler->Release();
  sampler->Release();
  psSolid->Release();
  ps->Release();
  vs->Release();
  target->Release();
  swapChain->Release();
  context->ClearState();
  context->Release();
  device->Release();
  DestroyWindow(window);
  return 0;
}
