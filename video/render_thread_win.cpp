// The render thread: every tick it takes each slot's queued access units,
// decodes them (opening the slot's decoder on first use) and draws a frame.
#include "video/render_thread_win.h"

#include <chrono>
#include <deque>
#include <utility>

#include "app/app_state.h"
#include "video/decode_policy.h"
#include "video/frame_pacer.h"
#include "video/renderer_win.h"
#include "video/video_decoder_win.h"

namespace {

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

constexpr DWORD kMaxWaitMs = 100;

double NowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Arms the timer to fire `ms` from now (relative, in 100 ns units).
void ArmTimer(HANDLE timer, double ms) {
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(ms * 10000.0 + 0.5);
  if (due.QuadPart == 0) due.QuadPart = -1;
  SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
}

// Waits until the next frame is due (FramePacer), or until a unit of the
// selected camera arrives and a frame may start. Without a timer the loop
// runs without pausing.
void WaitForNextFrame(HANDLE timer, HANDLE wake, FramePacer& pacer) {
  double now = NowMs();
  const double due = NextFrameDueMs(pacer);
  if (!timer || due <= now) {
    // No time to wait: a unit that came during the frame only tells its time.
    if (wake && WaitForSingleObject(wake, 0) == WAIT_OBJECT_0) NoteSelectedUnit(pacer, now);
    return;
  }
  ArmTimer(timer, due - now);
  HANDLE handles[2] = {timer, wake};
  const DWORD woken = WaitForMultipleObjects(wake ? 2 : 1, handles, FALSE, kMaxWaitMs);
  if (woken != WAIT_OBJECT_0 + 1) return;
  now = NowMs();
  NoteSelectedUnit(pacer, now);
  const double start = WokenFrameDueMs(pacer, now);
  if (start > now) {
    ArmTimer(timer, start - now);
    WaitForSingleObject(timer, kMaxWaitMs);
  }
}

// The device still works on the last frame: the frame is tried again shortly
// (decoding what came meanwhile), instead of queueing behind it.
constexpr double kBusyRetryMs = 2.0;
void WaitForDevice(HANDLE timer) {
  if (!timer) {
    Sleep(1);
    return;
  }
  ArmTimer(timer, kBusyRetryMs);
  WaitForSingleObject(timer, kMaxWaitMs);
}

void CloseDecoders() {
  for (Slot* slot : g_app.slots) {
    if (!slot || !slot->decoder) continue;
    VideoDecoder* decoder = slot->decoder;
    slot->decoder = nullptr;
    decoder->Close();
    delete decoder;
  }
}

// The slots as RunDecodeTick sees them; the decisions (order, budget, which
// units a decoder gets) are in decode_policy.h.
struct SlotHost {
  using Units = std::deque<AccessUnit>;
  Renderer& renderer;

  size_t SlotCount() const { return g_app.slots.size(); }
  SlotRole Role(size_t p) const {
    return RoleInScene(renderer.DrawnScene(), static_cast<int32_t>(p), renderer.BackBufferWidth(),
                       renderer.BackBufferHeight());
  }
  DecodeGate& Gate(size_t p) { return g_app.slots[p]->decodeGate; }
  double NowMs() const { return ::NowMs(); }
  bool Take(size_t p, Units& units) {
    Slot* slot = g_app.slots[p];
    if (!slot) return false;  // nothing to take: the tick goes on to the next slot
    std::lock_guard<std::mutex> lock(slot->queueLock);
    units.swap(slot->queue);
    return std::exchange(slot->queueDropped, false);
  }
  // Units not decoded this tick go back in front of what arrived meanwhile.
  void PutBack(size_t p, Units& units) {
    Slot* slot = g_app.slots[p];
    std::lock_guard<std::mutex> lock(slot->queueLock);
    units.insert(units.end(), std::make_move_iterator(slot->queue.begin()),
                 std::make_move_iterator(slot->queue.end()));
    slot->queue.swap(units);
  }
  bool Ready(size_t p, int32_t& codec) {
    Slot* slot = g_app.slots[p];
    codec = slot->client ? slot->client->GetVideoCodec() : 0;
    if (slot->decoder && slot->decoder->GpuHandOffFailed()) {
      // It takes the stream but none of its pictures reaches the
      // screen: decode this slot into system memory from now on, from
      // the next keyframe.
      slot->decoder->Close();
      delete slot->decoder;
      slot->decoder = nullptr;
      slot->systemMemoryDecoding = true;
      CloseGate(slot->decodeGate);
    }
    if (slot->decoder) return true;
    if (codec == 0) return false;  // nothing can be decoded yet
    VideoDecoder* decoder = new VideoDecoder;
    IMFDXGIDeviceManager* manager = slot->systemMemoryDecoding ? nullptr : renderer.DeviceManager();
    if (!decoder->Open(renderer.Device(), manager, codec)) {
      decoder->Close();
      delete decoder;
      return false;  // tried again with the next data
    }
    slot->decoder = decoder;
    return true;
  }
  void Decode(size_t p, const AccessUnit& unit) {
    const int position = static_cast<int>(p);
    Renderer& target = renderer;
    const FrameCallback onFrame = [&target, position](const DecodedFrame& frame) {
      return target.OnDecodedFrame(position, frame);
    };
    g_app.slots[p]->decoder->Decode(unit.bytes.data(), unit.bytes.size(), unit.timestamp, onFrame);
  }
};

// Only the selected slot's units wake the thread.
void MarkWakingSlot(const SlotHost& host) {
  for (size_t p = 0; p < host.SlotCount(); ++p) {
    if (Slot* slot = g_app.slots[p])
      slot->wakesRenderThread.store(host.Role(p) == SlotRole::kSelected);
  }
}

}  // namespace

TickReport DecodeQueuedUnits(Renderer& renderer, DecodeSchedule& schedule,
                             std::deque<AccessUnit>& taken, TickPart part,
                             const TickReport& before) {
  SlotHost host{renderer};
  return RunDecodeTick(host, schedule, taken, part, before);
}

DWORD WINAPI RenderThreadProc(LPVOID) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  Renderer& renderer = g_app.renderer;
  if (!renderer.Init(g_app.mainWindow)) {
    renderer.Shutdown();  // releases whatever Init had made
    CoUninitialize();
    return 1;
  }
  HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                        TIMER_ALL_ACCESS);

  DecodeSchedule schedule;
  FramePacer pacer;
  std::deque<AccessUnit> taken;  // reused every tick (see DecodeQueuedUnits)
  while (!g_app.renderStop.load()) {
    // The selected camera's units, the frame, then the thumbnails' units
    // (shown in the next frame): the watched picture never waits for them.
    NoteFrameStart(pacer, NowMs());
    TickReport selected;
    const bool ticking = g_app.renderGate.EnterTick();
    if (ticking) {
      selected = DecodeQueuedUnits(renderer, schedule, taken, TickPart::kSelected);
      g_app.renderGate.LeaveTick();
    }
    const double drawStart = NowMs();
    renderer.DrawFrame();
    schedule.drawMs = NowMs() - drawStart;
    if (ticking && g_app.renderGate.EnterTick()) {
      DecodeQueuedUnits(renderer, schedule, taken, TickPart::kThumbnails, selected);
      MarkWakingSlot(SlotHost{renderer});
      g_app.renderGate.LeaveTick();
    }
    NoteFrameEnd(pacer, NowMs());
    if (renderer.DeviceWasBusy())
      WaitForDevice(timer);
    else
      WaitForNextFrame(timer, g_app.renderWake, pacer);
  }

  if (timer) CloseHandle(timer);
  if (g_app.renderGate.EnterTick()) {
    CloseDecoders();
    g_app.renderGate.LeaveTick();
  }
  renderer.Shutdown();
  CoUninitialize();
  return 0;
}
