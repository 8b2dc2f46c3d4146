#pragma once
// The process-wide state of the application shell, and the camera slots.
// The UI thread alone writes it; the render thread walks `slots` every tick
// (inside renderGate.EnterTick()/LeaveTick()) and reads `renderStop`.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "app/render_gate.h"
#include "app/stream_switch.h"
#include "audio/audio_output_win.h"
#include "config/app_config.h"
#include "rtsp/rtsp_client.h"
#include "video/decode_policy.h"
#include "video/renderer_win.h"
#include "video/video_decoder_win.h"

// One stream of a camera: its client, the video decoder of its pictures and
// the access units it received that wait for the render thread. A feed's
// client and decoder are created and released only with the render gate
// paused (or before the render thread starts).
struct Feed {
  RtspClient* client = nullptr;     // owned; started and stopped by the UI thread
  VideoDecoder* decoder = nullptr;  // owned; opened and used by the render thread
  std::mutex queueLock;  // guards queue and queueDropped (held for an append or a swap only)
  std::deque<AccessUnit> queue;  // access units waiting for the render thread
  bool queueDropped = false;  // units were dropped from queue since the render thread last took it
  DecodeGate decodeGate;      // render thread only: whether the decoder may take the next unit
  std::atomic<bool> connected{false};
};

// One live tile: a copy of a configured camera bound to its streams: the main
// one, and the low-resolution one while a camera with a sub address shows it
// (see app/stream_switch.h). Heap-allocated; its address never changes while
// it exists. Destroyed only by the slot rebuild (after every client has been
// stopped, with the render gate paused).
struct Slot {
  std::string name;    // CameraEntry.Name (UTF-8)
  std::string url;     // CameraEntry.Url as configured
  std::string subUrl;  // CameraEntry.SubUrl as configured (empty: none)
  double zoom = 1.0;   // saved zoom of this camera
  double panX = 0.5;   // saved pan centre, fractions of the picture
  double panY = 0.5;
  int32_t configIndex = -1;  // position of the entry in config.Cameras

  Feed main;
  Feed sub;
  // Which streams run and whose pictures are drawn. Written by the UI thread
  // (the layout, the refresh timer) and by the render thread (each decoded
  // picture of a camera with a sub address), under switchLock.
  std::mutex switchLock;
  StreamSwitch streams;
  bool streamsStarted = false;  // UI thread: StartStreams ran for this slot
  // Render thread: a settle message is on its way to the UI thread.
  std::atomic<bool> settlePosted{false};
  // The sub stream's picture size, once one was decoded (0 before).
  std::atomic<uint32_t> subWidth{0};
  std::atomic<uint32_t> subHeight{0};
  // Render thread: the GPU hand-off failed for this slot; its decoders are
  // opened without the device manager (pictures in system memory).
  bool systemMemoryDecoding = false;

  // Set by the render thread for the selected slot: its units wake the render
  // thread (renderWake) instead of waiting for the next frame.
  std::atomic<bool> wakesRenderThread{false};

  // Layout (UI thread only).
  RECT rect{0, 0, 0, 0};
  RECT animFrom{0, 0, 0, 0};
  RECT animTo{0, 0, 0, 0};
  bool animating = false;
  bool visible = true;
  bool hiding = false;
};

struct AppState {
  HINSTANCE instance = nullptr;
  HWND mainWindow = nullptr;
  HMENU viewMenu = nullptr;
  HMENU camerasMenu = nullptr;
  HFONT menuFont = nullptr;  // dark menu bar font, created on first use

  AppConfig config;

  std::vector<Slot*> slots;  // owned, at most 16, in display order
  int32_t selected = 0;
  bool fullScreen = false;

  // Exists before the main window (the first WM_SIZE reaches it); initialised
  // and shut down by the render thread. The UI thread calls only
  // RequestResize, SetScene, GetVideoSize and GetLastFrameTick.
  Renderer renderer;
  HANDLE renderThread = nullptr;
  std::atomic<bool> renderStop{false};
  // Auto-reset event: a unit of the selected camera was queued. Created
  // before the render thread starts, closed after it and every stream client
  // have ended.
  HANDLE renderWake = nullptr;
  RenderGate renderGate;  // rebuild of `slots` vs. the render thread's walk

  AudioOutput audio;  // started and stopped by the entry point

  // View state of the selected tile (layout, zoom and pan).
  double zoom = 1.0;
  double panX = 0.5;
  double panY = 0.5;
  bool layoutAnimating = false;
  uint64_t layoutStartTick = 0;
  bool zoomAnimating = false;
  uint64_t zoomStartTick = 0;
  double zoomFrom = 1.0;
  double zoomTo = 1.0;
  int32_t anchorX = 0;
  int32_t anchorY = 0;
  double anchorVideoX = 0.0;
  double anchorVideoY = 0.0;
  bool panning = false;
  bool navigatorDragging = false;
  POINT lastCursor{0, 0};
  // How far the strip's thumbnails are scrolled up, in pixels (not stored in
  // the configuration; kept within the strip's range by LayoutTiles).
  int32_t stripScroll = 0;
};

// The one instance; exists before the entry point runs.
extern AppState g_app;

inline Feed& FeedOf(Slot& slot, StreamKind kind) {
  return kind == StreamKind::kMain ? slot.main : slot.sub;
}

// Posted by the render thread when a switch has ended and a connection is to
// close (UI thread: SettleStreams).
inline constexpr UINT kStreamsSettleMessage = WM_APP + 22;

// Most tiles there can be.
constexpr int32_t kMaxSlots = 16;
