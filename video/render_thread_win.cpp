// The render thread: every tick it takes each slot's queued access units,
// decodes them (opening the slot's decoder on first use) and draws a frame.
#include "video/render_thread_win.h"

#include <chrono>
#include <deque>
#include <utility>
#include <vector>

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

void CloseDecoder(Feed& feed) {
  if (!feed.decoder) return;
  VideoDecoder* decoder = feed.decoder;
  feed.decoder = nullptr;
  decoder->Close();
  delete decoder;
}

void CloseDecoders() {
  for (Slot* slot : g_app.slots) {
    if (!slot) continue;
    CloseDecoder(slot->main);
    CloseDecoder(slot->sub);
  }
}

// One stream the tick decodes: every slot's main feed, and its sub feed while
// that runs.
struct Lane {
  Slot* slot = nullptr;
  Feed* feed = nullptr;
  int32_t position = 0;
  StreamKind kind = StreamKind::kMain;
  bool wanted = true;  // the stream the slot is going to (the other one is being left)
};

// A picture of a lane was decoded: drawn when the slot's switch says so.
bool TakePicture(Renderer& renderer, const Lane& lane, const DecodedFrame& frame) {
  Slot* slot = lane.slot;
  if (lane.kind == StreamKind::kSub) {
    slot->subWidth.store(frame.width);
    slot->subHeight.store(frame.height);
  }
  bool drawn = true;
  bool settle = false;
  {
    std::lock_guard<std::mutex> guard(slot->switchLock);
    if (slot->streams.hasSub) {
      drawn = NotePicture(slot->streams, lane.kind);
      settle = (!slot->streams.mainOpen && slot->main.client) ||
               (!slot->streams.subOpen && slot->sub.client);
    }
  }
  if (settle && !slot->settlePosted.exchange(true))
    PostMessageW(g_app.mainWindow, kStreamsSettleMessage, 0, 0);
  // A picture left out by the switch is still one the decoder delivered.
  return drawn ? renderer.OnDecodedFrame(lane.position, frame) : true;
}

// The slots' streams as RunDecodeTick sees them; the decisions (order,
// budget, which units a decoder gets) are in decode_policy.h.
struct SlotHost {
  using Units = std::deque<AccessUnit>;
  Renderer& renderer;
  std::vector<Lane>& lanes;

  // lanes: kept by the caller from tick to tick (no allocation per tick).
  SlotHost(Renderer& r, std::vector<Lane>& store) : renderer(r), lanes(store) {
    lanes.clear();
    for (size_t p = 0; p < g_app.slots.size(); ++p) {
      Slot* slot = g_app.slots[p];
      Lane lane;
      lane.slot = slot;
      lane.position = static_cast<int32_t>(p);
      if (!slot) {
        lanes.push_back(lane);
        continue;
      }
      StreamKind wanted = StreamKind::kMain;
      {
        std::lock_guard<std::mutex> guard(slot->switchLock);
        if (slot->streams.hasSub) wanted = slot->streams.wanted;
      }
      lane.feed = &slot->main;
      lane.wanted = wanted == StreamKind::kMain;
      lanes.push_back(lane);
      if (slot->sub.client) {
        lane.feed = &slot->sub;
        lane.kind = StreamKind::kSub;
        lane.wanted = wanted == StreamKind::kSub;
        lanes.push_back(lane);
      }
    }
  }

  size_t SlotCount() const { return lanes.size(); }
  SlotRole Role(size_t p) const {
    const SlotRole role = RoleInScene(renderer.DrawnScene(), lanes[p].position,
                                      renderer.BackBufferWidth(), renderer.BackBufferHeight());
    // The stream the stage is leaving decodes as a thumbnail's would.
    return role == SlotRole::kSelected && !lanes[p].wanted ? SlotRole::kThumbnail : role;
  }
  DecodeGate& Gate(size_t p) { return lanes[p].feed->decodeGate; }
  double NowMs() const { return ::NowMs(); }
  bool Take(size_t p, Units& units) {
    Feed* feed = lanes[p].feed;
    if (!feed) return false;  // nothing to take: the tick goes on to the next slot
    std::lock_guard<std::mutex> lock(feed->queueLock);
    units.swap(feed->queue);
    return std::exchange(feed->queueDropped, false);
  }
  // Units not decoded this tick go back in front of what arrived meanwhile.
  void PutBack(size_t p, Units& units) {
    Feed* feed = lanes[p].feed;
    std::lock_guard<std::mutex> lock(feed->queueLock);
    units.insert(units.end(), std::make_move_iterator(feed->queue.begin()),
                 std::make_move_iterator(feed->queue.end()));
    feed->queue.swap(units);
  }
  bool Ready(size_t p, int32_t& codec) {
    Slot* slot = lanes[p].slot;
    Feed* feed = lanes[p].feed;
    codec = feed->client ? feed->client->GetVideoCodec() : 0;
    if (feed->decoder && feed->decoder->GpuHandOffFailed()) {
      // It takes the stream but none of its pictures reaches the
      // screen: decode this slot into system memory from now on, from
      // the next keyframe.
      CloseDecoder(*feed);
      slot->systemMemoryDecoding = true;
      CloseGate(feed->decodeGate);
    }
    if (feed->decoder) return true;
    if (codec == 0) return false;  // nothing can be decoded yet
    VideoDecoder* decoder = new VideoDecoder;
    IMFDXGIDeviceManager* manager = slot->systemMemoryDecoding ? nullptr : renderer.DeviceManager();
    if (!decoder->Open(renderer.Device(), manager, codec)) {
      decoder->Close();
      delete decoder;
      return false;  // tried again with the next data
    }
    feed->decoder = decoder;
    return true;
  }
  void Decode(size_t p, const AccessUnit& unit) {
    Renderer& target = renderer;
    const Lane lane = lanes[p];
    const FrameCallback onFrame = [&target, lane](const DecodedFrame& frame) {
      return TakePicture(target, lane, frame);
    };
    lane.feed->decoder->Decode(unit.bytes.data(), unit.bytes.size(), unit.timestamp, onFrame);
  }
};

// Only the selected slot's units wake the thread.
void MarkWakingSlot(const Renderer& renderer) {
  for (size_t p = 0; p < g_app.slots.size(); ++p) {
    if (Slot* slot = g_app.slots[p])
      slot->wakesRenderThread.store(
          RoleInScene(renderer.DrawnScene(), static_cast<int32_t>(p), renderer.BackBufferWidth(),
                      renderer.BackBufferHeight()) == SlotRole::kSelected);
  }
}

}  // namespace

TickReport DecodeQueuedUnits(Renderer& renderer, DecodeSchedule& schedule,
                             std::deque<AccessUnit>& taken, TickPart part,
                             const TickReport& before) {
  // Each thread that ticks (the render thread, or a test's) keeps its own.
  thread_local std::vector<Lane> lanes;
  SlotHost host(renderer, lanes);
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
      MarkWakingSlot(renderer);
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
