// Helpers shared by the video tests on Windows: test clips, access-unit
// splitting and Media Foundation start-up.
#pragma once

#include <windows.h>
#include <d3d11.h>
#include <mfapi.h>
#include <objbase.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline std::vector<uint8_t> ReadTestClip(const char* name) {
  std::vector<uint8_t> bytes;
  const std::string path = std::string(TAVIK_SOURCE_DIR) + "/tests/data/video/" + name;
  for (const std::string& candidate : {path, "Z:" + path}) {
    FILE* f = std::fopen(candidate.c_str(), "rb");
    if (!f) continue;
    uint8_t chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0)
      bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    break;
  }
  return bytes;
}

// Splits an H.264 Annex-B stream written with access unit delimiters
// (NAL type 9) into access units.
inline std::vector<std::vector<uint8_t>> SplitAtDelimiters(const std::vector<uint8_t>& s) {
  std::vector<std::vector<uint8_t>> units;
  std::vector<size_t> starts;
  for (size_t i = 0; i + 4 < s.size(); ++i) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 0 && s[i + 3] == 1 && (s[i + 4] & 0x1F) == 9)
      starts.push_back(i);
  }
  for (size_t k = 0; k < starts.size(); ++k) {
    const size_t end = k + 1 < starts.size() ? starts[k + 1] : s.size();
    units.emplace_back(s.begin() + static_cast<std::ptrdiff_t>(starts[k]),
                       s.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return units;
}

// COM (multithreaded) and Media Foundation for the life of a test.
struct MediaFoundationScope {
  bool ok = false;
  MediaFoundationScope() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ok = SUCCEEDED(MFStartup(MF_VERSION, MFSTARTUP_FULL));
  }
  ~MediaFoundationScope() {
    if (ok) MFShutdown();
    CoUninitialize();
  }
};

// A Direct3D 11 device as the renderer makes it (multithread-protected) and a
// Media Foundation device manager on it, for decoders opened for the GPU
// hand-off. Needs a display (Xvfb under Wine).
struct GpuScope {
  ID3D11Device* device = nullptr;
  IMFDXGIDeviceManager* manager = nullptr;
  bool ok = false;
  GpuScope() {
    UINT token = 0;
    const UINT flags = D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT;
    if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, flags, nullptr, 0,
                                 D3D11_SDK_VERSION, &device, nullptr, nullptr)))
      return;
    ID3D10Multithread* multithread = nullptr;
    if (SUCCEEDED(device->QueryInterface(IID_PPV_ARGS(&multithread))) && multithread) {
      multithread->SetMultithreadProtected(TRUE);
      multithread->Release();
    }
    ok = SUCCEEDED(MFCreateDXGIDeviceManager(&token, &manager)) &&
         SUCCEEDED(manager->ResetDevice(device, token));
  }
  ~GpuScope() {
    if (manager) manager->Release();
    if (device) device->Release();
  }
  GpuScope(const GpuScope&) = delete;
  GpuScope& operator=(const GpuScope&) = delete;
};
