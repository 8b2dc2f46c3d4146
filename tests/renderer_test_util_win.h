// Helpers shared by the renderer's tests on Windows: a window to draw on, the
// shader's conversion in doubles, and reading back what was drawn.
#pragma once

#include <windows.h>
#include <d3d11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "tests/video_test_util_win.h"
#include "video/renderer_win.h"

inline HWND MakeTestWindow(int width, int height) {
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TavikRendererTest";
    RegisterClassExW(&wc);
    registered = true;
  }
  return CreateWindowExW(0, L"TavikRendererTest", L"renderer test", WS_POPUP, 0, 0, width, height,
                         nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

// The shader's conversion (BT.709, limited range) in doubles, 0..255.
inline void ExpectedRgb(const uint8_t yuv[3], double rgb[3]) {
  const double y = (yuv[0] / 255.0 - 0.0625) * 1.164;
  const double u = yuv[1] / 255.0 - 0.5;
  const double v = yuv[2] / 255.0 - 0.5;
  const double c[3] = {y + 1.793 * v, y - 0.213 * u - 0.533 * v, y + 2.112 * u};
  for (int i = 0; i < 3; ++i) rgb[i] = 255.0 * std::clamp(c[i], 0.0, 1.0);
}

// Mip 0 of a BGRA texture, as rows of bytes.
inline std::vector<uint8_t> ReadBack(Renderer& r, ID3D11Texture2D* texture, uint32_t* width,
                                     uint32_t* height) {
  D3D11_TEXTURE2D_DESC desc = {};
  texture->GetDesc(&desc);
  *width = desc.Width;
  *height = desc.Height;
  desc.MipLevels = 1;
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  desc.MiscFlags = 0;
  ID3D11Texture2D* staging = nullptr;
  std::vector<uint8_t> out;
  if (FAILED(r.Device()->CreateTexture2D(&desc, nullptr, &staging))) return out;
  r.Context()->CopySubresourceRegion(staging, 0, 0, 0, 0, texture, 0, nullptr);
  D3D11_MAPPED_SUBRESOURCE m = {};
  if (SUCCEEDED(r.Context()->Map(staging, 0, D3D11_MAP_READ, 0, &m))) {
    out.resize(size_t{desc.Width} * desc.Height * 4);
    for (uint32_t y = 0; y < desc.Height; ++y)
      memcpy(&out[size_t{y} * desc.Width * 4],
             static_cast<const uint8_t*>(m.pData) + size_t{y} * m.RowPitch, desc.Width * 4);
    r.Context()->Unmap(staging, 0);
  }
  staging->Release();
  return out;
}

// What the last presented frame showed, as rows of BGRA bytes.
inline std::vector<uint8_t> ShownFrame(Renderer& r, uint32_t* width, uint32_t* height) {
  ID3D11Texture2D* frame = r.CapturedFrameForTest();
  if (!frame) return {};
  return ReadBack(r, frame, width, height);
}

// One tile filling the 320 x 240 window, showing `slot`.
inline RenderScene OneTile(int slot, int32_t right = 320, int32_t bottom = 240) {
  RenderScene scene;
  TileView tile;
  tile.slotIndex = slot;
  tile.right = right;
  tile.bottom = bottom;
  scene.tiles.push_back(tile);
  return scene;
}

// One renderer on a window of its own for a whole suite (start-up is slow
// under software rendering); it keeps a copy of every frame it presents and
// waits for the device instead of leaving a frame for later.
template <int Width, int Height>
class RendererSuite : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    mf = new MediaFoundationScope;
    window = MakeTestWindow(Width, Height);
    renderer = new Renderer;
    ok = window && renderer->Init(window);
    if (ok) {
      renderer->CaptureFramesForTest(true);
      renderer->WaitForDeviceForTest(true);
    }
  }
  static void TearDownTestSuite() {
    renderer->Shutdown();
    delete renderer;
    if (window) DestroyWindow(window);
    delete mf;
  }
  static inline MediaFoundationScope* mf = nullptr;
  static inline HWND window = nullptr;
  static inline Renderer* renderer = nullptr;
  static inline bool ok = false;
};
