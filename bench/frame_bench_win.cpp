// Where a frame's time goes: drives the program's Renderer on a window of its
// own with 0, 1, 4 and 9 synthetic 1280x720 NV12 pictures laid out as the
// program lays out its tiles, and times each step of a frame to its completion
// on the device (an event query after the step, waited for), as wall time and
// as the process's CPU time (every thread: the device's workers too):
//
//   upload     OnDecodedFrame of one new picture per camera (system memory)
//   convert    the NV12 -> BGRA passes and mip chains of the new pictures
//   tiles      drawing the tile pictures (scaled, letterboxed)
//   overlays   labels, the sound icon (Direct2D / DirectWrite)
//   fixed      pipeline state, clear, an empty Direct2D draw
//   present    Present of the window's swap chain
//
// DrawFrame is one call, so its steps come from frames that differ by one
// step each (same renderer, interleaved, medians): with and without new
// pictures, with and without overlays, with and without tiles. The present
// comes from a reference swap chain of the same size on a second window of the
// same device (clear + Present against clear alone), measured in the same run.
//
// Also prints the frames per second and the process CPU per frame of a loop
// that draws back to back (new pictures every second frame, as 30 fps cameras
// at a 60/s cadence), and the C++ allocations per tick of the render thread's
// access-unit step and of DrawFrame (one queued unit per slot per tick).
//
// With --small WxH the empty window (no cameras) is measured once more at that
// size (the program's default window is small).
//
//   frame_bench_win [--counts 0,1,4,9] [--frames 20] [--seconds 4] [--width 1280] [--height 720]
//                   [--small 504x271]
//
// Prints "RESULT name value" lines for tools/bench.sh.
#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>
#include <mfapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/layout.h"
#include "bench/bench_clock_win.h"
#include "video/render_thread_win.h"
#include "video/renderer_win.h"

// ---- C++ allocations of one thread, counted while `g_counting` is set --------

namespace {
std::atomic<bool> g_counting{false};
std::atomic<DWORD> g_countThread{0};
std::atomic<uint64_t> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (g_counting.load(std::memory_order_relaxed) && GetCurrentThreadId() == g_countThread.load())
    g_allocations.fetch_add(1, std::memory_order_relaxed);
  void* p = HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void operator delete(void* p) noexcept {
  if (p) HeapFree(GetProcessHeap(), 0, p);
}
void operator delete(void* p, std::size_t) noexcept {
  if (p) HeapFree(GetProcessHeap(), 0, p);
}

namespace {

struct Options {
  std::vector<int> counts{0, 1, 4, 9};
  int frames = 20;
  double seconds = 4.0;
  int width = 1280;
  int height = 720;
  int smallWidth = 0;
  int smallHeight = 0;
};

void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

HWND MakeWindow(const wchar_t* title, int x, int width, int height) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"TavikFrameBench";
  RegisterClassExW(&wc);
  HWND window = CreateWindowExW(0, wc.lpszClassName, title, WS_POPUP | WS_VISIBLE, x, 0, width,
                                height, nullptr, nullptr, wc.hInstance, nullptr);
  PumpMessages();
  return window;
}

// Waits until the device has finished everything submitted so far.
struct DeviceSync {
  ID3D11Query* query = nullptr;
  ID3D11DeviceContext* context = nullptr;

  bool Init(ID3D11Device* device, ID3D11DeviceContext* ctx) {
    context = ctx;
    D3D11_QUERY_DESC desc = {D3D11_QUERY_EVENT, 0};
    return SUCCEEDED(device->CreateQuery(&desc, &query));
  }
  void Wait() {
    context->End(query);
    BOOL done = FALSE;
    while (context->GetData(query, &done, sizeof(done), 0) == S_FALSE) SwitchToThread();
  }
  void Release() {
    if (query) query->Release();
    query = nullptr;
  }
};

// A second swap chain like the renderer's, on its own window: the cost of a
// clear and a Present of that size alone.
struct ReferenceChain {
  HWND window = nullptr;
  IDXGISwapChain1* swapChain = nullptr;
  ID3D11RenderTargetView* view = nullptr;

  bool Init(ID3D11Device* device, int width, int height) {
    window = MakeWindow(L"reference", width, width, height);
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
      desc.SampleDesc.Count = 1;
      desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
      desc.BufferCount = 2;
      desc.Scaling = DXGI_SCALING_STRETCH;
      desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
      hr = factory->CreateSwapChainForHwnd(device, window, &desc, nullptr, nullptr, &swapChain);
    }
    if (factory) factory->Release();
    if (adapter) adapter->Release();
    if (dxgiDevice) dxgiDevice->Release();
    if (FAILED(hr)) return false;
    ID3D11Texture2D* buffer = nullptr;
    if (FAILED(swapChain->GetBuffer(0, IID_PPV_ARGS(&buffer)))) return false;
    hr = device->CreateRenderTargetView(buffer, nullptr, &view);
    buffer->Release();
    return SUCCEEDED(hr);
  }
  void Clear(ID3D11DeviceContext* context) {
    const float colour[4] = {0.066f, 0.082f, 0.102f, 1.0f};
    context->OMSetRenderTargets(1, &view, nullptr);
    context->ClearRenderTargetView(view, colour);
    context->OMSetRenderTargets(0, nullptr, nullptr);
  }
  void Present() { swapChain->Present(0, 0); }
  void Release() {
    if (view) view->Release();
    if (swapChain) swapChain->Release();
    view = nullptr;
    swapChain = nullptr;
    if (window) DestroyWindow(window);
    window = nullptr;
  }
};

// A 1280x720 NV12 picture in system memory (Y rows, then interleaved UV rows
// at the same pitch), as the decoder hands it over on its system-memory path.
struct Picture {
  std::vector<uint8_t> bytes;
  DecodedFrame frame;
};

Picture MakePicture(int seed) {
  constexpr uint32_t w = 1280, h = 720;
  Picture p;
  p.bytes.resize(size_t{w} * (h + h / 2));
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      p.bytes[size_t{y} * w + x] = static_cast<uint8_t>(16 + (x + y + seed) % 220);
  for (uint32_t y = 0; y < h / 2; ++y)
    for (uint32_t x = 0; x < w; ++x)
      p.bytes[size_t{h + y} * w + x] = static_cast<uint8_t>(128 + ((x / 2 + y + seed) % 64) - 32);
  p.frame.data = p.bytes.data();
  p.frame.pitch = w;
  p.frame.planeRows = h;
  p.frame.size = p.bytes.size();
  p.frame.width = w;
  p.frame.height = h;
  return p;
}

// The scene the program's layout gives `count` cameras with the first one
// selected: the stage, the others as labelled thumbnails in the strip, the
// sound icon; no cameras: the centred message.
RenderScene MakeScene(int count, int width, int height, bool overlays, bool tiles) {
  RenderScene scene;
  if (count == 0) {
    if (overlays) scene.message = L"No cameras configured.\nRight-click and choose Settings\u2026";
    return scene;
  }
  if (!tiles) return scene;
  const std::vector<TileTarget> targets = ComputeTileTargets(width, height, 96, count, 0, false);
  auto tileFor = [&](int p) {
    TileView t;
    t.slotIndex = p;
    t.left = targets[p].rect.left;
    t.top = targets[p].rect.top;
    t.right = targets[p].rect.right;
    t.bottom = targets[p].rect.bottom;
    t.label = L"Camera " + std::to_wstring(p + 1);
    t.showLabel = overlays;
    return t;
  };
  for (int p = 1; p < count; ++p) scene.tiles.push_back(tileFor(p));
  TileView stage = tileFor(0);
  stage.showLabel = false;
  scene.tiles.push_back(stage);
  if (overlays) {
    const LayoutRect icon = AudioIconRectFor(targets[0].rect, 96);
    scene.audioIconVisible = true;
    scene.iconLeft = icon.left;
    scene.iconTop = icon.top;
    scene.iconRight = icon.right;
    scene.iconBottom = icon.bottom;
  }
  return scene;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// One measured quantity: wall time to completion and process CPU, per sample.
struct Series {
  std::vector<double> wall;
  double cpu = 0.0;
  double MedianMs() const { return Median(wall); }
  double CpuMs() const { return wall.empty() ? 0.0 : cpu / static_cast<double>(wall.size()); }
};

template <typename F>
void Sample(Series& s, DeviceSync& sync, F&& step) {
  const double c0 = ProcessCpuMs();
  const double t0 = NowMs();
  step();
  sync.Wait();
  s.wall.push_back(NowMs() - t0);
  s.cpu += ProcessCpuMs() - c0;
  PumpMessages();
}

// One figure per step, as wall time to completion (median) and as process CPU
// (mean, every thread of the process: the device's workers too). On a loaded
// machine the wall times include waits for a core; the CPU times do not.
struct Steps {
  double upload = 0, convert = 0, tiles = 0, overlays = 0, fixed = 0, present = 0, clear = 0;
  double frame = 0, frameNoNew = 0;
};

struct StepFigures {
  Steps wall, cpu;
};

StepFigures MeasureSteps(Renderer& renderer, ReferenceChain& reference, DeviceSync& sync, int count,
                         const Options& o, const std::vector<Picture>& pictures) {
  const RenderScene full = MakeScene(count, o.width, o.height, true, true);
  const RenderScene bare = MakeScene(count, o.width, o.height, false, true);
  const RenderScene empty = MakeScene(count, o.width, o.height, false, false);
  Series upload, frameNew, frameOld, frameBare, frameEmpty, clear, clearPresent;
  for (int i = -3; i < o.frames; ++i) {  // the first three warm up
    if (i == 0)
      upload = frameNew = frameOld = frameBare = frameEmpty = clear = clearPresent = Series{};
    const Picture& picture = pictures[static_cast<size_t>(i + 3) % pictures.size()];
    Sample(upload, sync, [&] {
      for (int p = 0; p < count; ++p) renderer.OnDecodedFrame(p, picture.frame);
    });
    renderer.SetScene(full);
    Sample(frameNew, sync, [&] { renderer.DrawFrame(); });
    Sample(frameOld, sync, [&] {
      renderer.RequestRedraw();  // the same scene and pictures, drawn again
      renderer.DrawFrame();
    });
    renderer.SetScene(bare);
    Sample(frameBare, sync, [&] { renderer.DrawFrame(); });
    renderer.SetScene(empty);
    Sample(frameEmpty, sync, [&] { renderer.DrawFrame(); });
    Sample(clear, sync, [&] { reference.Clear(renderer.Context()); });
    Sample(clearPresent, sync, [&] {
      reference.Clear(renderer.Context());
      reference.Present();
    });
  }
  auto steps = [count](auto value, const Series& up, const Series& fNew, const Series& fOld,
                       const Series& fBare, const Series& fEmpty, const Series& cl,
                       const Series& clPresent) {
    Steps st;
    st.upload = count ? value(up) : 0.0;
    st.convert = count ? value(fNew) - value(fOld) : 0.0;
    st.overlays = value(fOld) - value(fBare);
    st.tiles = value(fBare) - value(fEmpty);
    st.clear = value(cl);
    st.present = value(clPresent) - value(cl);
    st.fixed = value(fEmpty) - st.present;
    st.frame = st.upload + value(fNew);
    st.frameNoNew = value(fOld);
    return st;
  };
  StepFigures f;
  f.wall = steps([](const Series& x) { return x.MedianMs(); }, upload, frameNew, frameOld,
                 frameBare, frameEmpty, clear, clearPresent);
  f.cpu = steps([](const Series& x) { return x.CpuMs(); }, upload, frameNew, frameOld, frameBare,
                frameEmpty, clear, clearPresent);
  return f;
}

struct LoopFigures {
  double fps = 0, cpuMsPerFrame = 0;
};

// Frames back to back without waiting, new pictures every second frame.
LoopFigures MeasureLoop(Renderer& renderer, int count, const Options& o,
                        const std::vector<Picture>& pictures) {
  renderer.SetScene(MakeScene(count, o.width, o.height, true, true));
  int frames = 0;
  const double c0 = ProcessCpuMs();
  const double t0 = NowMs();
  double t = t0;
  while (t - t0 < o.seconds * 1000.0) {
    if (frames % 2 == 0) {
      const Picture& picture = pictures[static_cast<size_t>(frames / 2) % pictures.size()];
      for (int p = 0; p < count; ++p) renderer.OnDecodedFrame(p, picture.frame);
    }
    renderer.DrawFrame();
    PumpMessages();
    ++frames;
    t = NowMs();
  }
  LoopFigures f;
  f.fps = frames * 1000.0 / (t - t0);
  f.cpuMsPerFrame = (ProcessCpuMs() - c0) / frames;
  return f;
}

struct AllocationFigures {
  double unitStep = 0, drawFrame = 0;
};

// The render thread's access-unit step over `count` slots, each with one unit
// queued per tick (slots without a stream client: the units are dropped after
// being taken, as before a camera's codec is known), and the frame after it.
AllocationFigures MeasureAllocations(Renderer& renderer, int count, const Options& o) {
  std::vector<Slot*> slots;
  for (int p = 0; p < count; ++p) slots.push_back(new Slot);
  g_app.slots = slots;
  renderer.SetScene(MakeScene(count, o.width, o.height, true, true));
  g_countThread = GetCurrentThreadId();
  constexpr int kTicks = 40;
  uint64_t unitAllocations = 0, frameAllocations = 0;
  DecodeSchedule schedule;
  std::deque<AccessUnit> taken;
  for (int tick = -5; tick < kTicks; ++tick) {
    for (Slot* slot : slots) {
      AccessUnit unit;
      unit.bytes.assign(1000, 0x41);
      unit.timestamp = tick;
      std::lock_guard<std::mutex> lock(slot->main.queueLock);
      slot->main.queue.push_back(std::move(unit));
    }
    g_allocations = 0;
    g_counting = true;
    DecodeQueuedUnits(renderer, schedule, taken);
    g_counting = false;
    if (tick >= 0) unitAllocations += g_allocations.load();
    g_allocations = 0;
    renderer.RequestRedraw();
    g_counting = true;
    renderer.DrawFrame();
    g_counting = false;
    if (tick >= 0) frameAllocations += g_allocations.load();
    PumpMessages();
  }
  g_app.slots.clear();
  for (Slot* slot : slots) delete slot;
  AllocationFigures f;
  f.unitStep = static_cast<double>(unitAllocations) / kTicks;
  f.drawFrame = static_cast<double>(frameAllocations) / kTicks;
  return f;
}

void PrintFigures(const std::string& name, const StepFigures& f, const LoopFigures& l) {
  const Steps& w = f.wall;
  const Steps& c = f.cpu;
  std::printf("%-8s wall %7.1f %7.1f %7.1f %8.1f %7.1f %7.1f %7.1f %10.1f   %6.1f\n", name.c_str(),
              w.upload, w.convert, w.tiles, w.overlays, w.fixed, w.present, w.frame, w.frameNoNew,
              l.fps);
  std::printf("%-8s CPU  %7.1f %7.1f %7.1f %8.1f %7.1f %7.1f %7.1f %10.1f   %6.1f\n", "", c.upload,
              c.convert, c.tiles, c.overlays, c.fixed, c.present, c.frame, c.frameNoNew,
              l.cpuMsPerFrame);
  const char* n = name.c_str();
  const struct {
    const char* key;
    double wall, cpu;
  } figures[] = {{"upload", w.upload, c.upload},       {"convert", w.convert, c.convert},
                 {"tiles", w.tiles, c.tiles},          {"overlays", w.overlays, c.overlays},
                 {"fixed", w.fixed, c.fixed},          {"present", w.present, c.present},
                 {"clear", w.clear, c.clear},          {"total", w.frame, c.frame},
                 {"nonew", w.frameNoNew, c.frameNoNew}};
  for (const auto& x : figures) {
    std::printf("RESULT frame_%s_ms_%s %.3f\n", x.key, n, x.wall);
    std::printf("RESULT frame_%s_cpu_ms_%s %.3f\n", x.key, n, x.cpu);
  }
  std::printf("RESULT frame_loop_fps_%s %.2f\n", n, l.fps);
  std::printf("RESULT frame_loop_cpu_ms_%s %.3f\n", n, l.cpuMsPerFrame);
  std::fflush(stdout);
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    if (a == "--frames") {
      o.frames = std::max(3, std::atoi(v));
    } else if (a == "--seconds") {
      o.seconds = std::max(0.5, std::atof(v));
    } else if (a == "--width") {
      o.width = std::max(320, std::atoi(v));
    } else if (a == "--height") {
      o.height = std::max(240, std::atoi(v));
    } else if (a == "--small") {
      o.smallWidth = std::max(8, std::atoi(v));
      const char* x = std::strchr(v, 'x');
      o.smallHeight = x ? std::max(8, std::atoi(x + 1)) : 0;
      if (!x) return false;
    } else if (a == "--counts") {
      o.counts.clear();
      for (const char* s = v; *s;) {
        o.counts.push_back(std::clamp(std::atoi(s), 0, kMaxVideoSlots));
        while (*s && *s != ',') ++s;
        if (*s == ',') ++s;
      }
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: frame_bench_win [--counts 0,1,4,9] [--frames 20] [--seconds 4] "
                 "[--width 1280] [--height 720] [--small WxH]\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  MFStartup(MF_VERSION, MFSTARTUP_FULL);
  HWND window = MakeWindow(L"frame bench", 0, o.width, o.height);
  Renderer* renderer = new Renderer;
  ReferenceChain reference;
  DeviceSync sync;
  int result = 0;
  if (!window || !renderer->Init(window) ||
      !reference.Init(renderer->Device(), o.width, o.height) ||
      !sync.Init(renderer->Device(), renderer->Context())) {
    std::fprintf(stderr, "frame_bench_win: no Direct3D device, swap chain or query\n");
    result = 1;
  } else {
    // Every DrawFrame here draws: none is left for later while the device is busy.
    renderer->WaitForDeviceForTest(true);
    std::vector<Picture> pictures;
    for (int i = 0; i < 4; ++i) pictures.push_back(MakePicture(i * 37));
    std::printf(
        "Renderer frame steps, %dx%d window, 1280x720 NV12 pictures from system memory (%s), "
        "%d frames per figure, medians of wall time to completion on the device\n",
        o.width, o.height, renderer->UsesNv12Textures() ? "NV12 texture" : "luma + chroma textures",
        o.frames);
    std::printf("%-8s %4s %7s %7s %7s %8s %7s %7s %7s %10s   %6s\n", "cameras", "", "upload",
                "convert", "tiles", "overlays", "fixed", "present", "frame", "no new pic", "loop");
    for (int count : o.counts) {
      const StepFigures s = MeasureSteps(*renderer, reference, sync, count, o, pictures);
      const LoopFigures l = MeasureLoop(*renderer, count, o, pictures);
      PrintFigures(std::to_string(count), s, l);
    }
    if (o.smallWidth > 0) {
      // The same renderer on its window made small, against a reference
      // chain of that size.
      Options small = o;
      small.width = o.smallWidth;
      small.height = o.smallHeight;
      SetWindowPos(window, nullptr, 0, 0, small.width, small.height, SWP_NOZORDER | SWP_NOACTIVATE);
      renderer->RequestResize(small.width, small.height);
      ReferenceChain smallReference;
      if (smallReference.Init(renderer->Device(), small.width, small.height)) {
        const StepFigures s = MeasureSteps(*renderer, smallReference, sync, 0, small, pictures);
        const LoopFigures l = MeasureLoop(*renderer, 0, small, pictures);
        std::printf("(the empty window again at %dx%d:)\n", small.width, small.height);
        PrintFigures("0_small", s, l);
      }
      smallReference.Release();
      SetWindowPos(window, nullptr, 0, 0, o.width, o.height, SWP_NOZORDER | SWP_NOACTIVATE);
      renderer->RequestResize(o.width, o.height);
    }
    std::printf(
        "ms per frame. wall: medians of the time to completion on the device; CPU: means of the\n"
        "process CPU, all threads. upload = OnDecodedFrame of every camera; convert, tiles, "
        "overlays,\n"
        "fixed (state, clear, empty Direct2D draw) by difference of frames; present = a reference "
        "swap\n"
        "chain's clear + Present minus its clear; frame = upload + DrawFrame with new pictures; no "
        "new\n"
        "pic = DrawFrame without; loop = frames back to back with new pictures every second "
        "frame:\n"
        "frames/s (wall row) and CPU ms per frame (CPU row)\n");
    std::printf(
        "C++ allocations per tick (one unit queued per slot per tick, dropped: no stream "
        "client)\n");
    for (int count : {1, 4, 9, 16}) {
      const AllocationFigures a = MeasureAllocations(*renderer, count, o);
      std::printf("  %2d slots: access-unit step %.2f, DrawFrame %.2f\n", count, a.unitStep,
                  a.drawFrame);
      std::printf("RESULT alloc_unit_step_%d %.3f\nRESULT alloc_draw_frame_%d %.3f\n", count,
                  a.unitStep, count, a.drawFrame);
    }
  }
  sync.Release();
  reference.Release();
  renderer->Shutdown();
  delete renderer;
  if (window) DestroyWindow(window);
  MFShutdown();
  CoUninitialize();
  return result;
}
