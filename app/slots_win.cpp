#include "app/slots_win.h"

#include <utility>
#include <vector>

#include "app/app_state.h"
#include "app/layout_win.h"
#include "app/slot_plan.h"
#include "config/wide_text_win.h"
#include "console/stream_url.h"

namespace {

int CompareNames(const std::string& a, const std::string& b) {
  return lstrcmpiW(Widen(a).c_str(), Widen(b).c_str());
}

// Ends a feed's stream and drops what it had: its client, decoder and
// queued units. With the render gate paused (or no render thread).
void ReleaseFeed(Feed& feed) {
  if (feed.client) feed.client->Stop();
  delete feed.client;
  feed.client = nullptr;
  if (feed.decoder) {
    feed.decoder->Close();
    delete feed.decoder;
    feed.decoder = nullptr;
  }
  {
    std::lock_guard<std::mutex> guard(feed.queueLock);
    feed.queue.clear();
    feed.queueDropped = false;
  }
  feed.decodeGate = DecodeGate();
  feed.connected.store(false);
}

// The slot's clients have been stopped before this runs.
void DestroySlot(Slot* slot) {
  ReleaseFeed(slot->sub);
  ReleaseFeed(slot->main);
  delete slot;
}

// Starts the feed's client. Only the main stream sets up the camera's sound.
void StartFeed(Slot* slot, StreamKind kind, int32_t position) {
  Feed* feed = &FeedOf(*slot, kind);
  feed->client = new RtspClient();
  AccessUnitCallback onAccessUnit = [slot, feed](std::vector<uint8_t>&& bytes, int64_t timestamp) {
    AccessUnit unit;
    unit.bytes = std::move(bytes);
    unit.timestamp = timestamp;
    {
      std::lock_guard<std::mutex> guard(feed->queueLock);
      if (AppendAccessUnit(feed->queue, std::move(unit))) feed->queueDropped = true;
    }
    if (g_app.renderWake && slot->wakesRenderThread.load()) SetEvent(g_app.renderWake);
  };
  ConnectionStateCallback onConnectionState = [feed](bool connected) {
    feed->connected.store(connected);
  };
  AudioFrameCallback onAudioFrame;
  if (kind == StreamKind::kMain) {
    onAudioFrame = [position](const uint8_t* bytes, unsigned size) {
      g_app.audio.PushFrame(position, bytes, size);
    };
  }
  const std::string& url = kind == StreamKind::kMain ? slot->url : slot->subUrl;
  feed->client->Start(ToPlainRtspUrl(url), std::move(onAccessUnit), std::move(onConnectionState),
                      std::move(onAudioFrame));
}

double NowMs() {
  return static_cast<double>(GetTickCount64());
}

// The stream the slot at p wants where the layout has put it: the main one
// for the selected camera (on the stage, alone in the window, or its grid
// tile), the sub one in a thumbnail or grid tile it fits (or while hidden).
StreamKind WantedFor(size_t p) {
  const Slot& slot = *g_app.slots[p];
  const RECT& r = slot.animating ? slot.animTo : slot.rect;
  const bool shown = slot.visible && !slot.hiding;
  const int32_t w = shown ? r.right - r.left : 0;
  const int32_t h = shown ? r.bottom - r.top : 0;
  // The selected camera runs its main stream in every layout: its sound
  // comes from there (a grid tile of it too; the others go by their size).
  const bool fillsStage = static_cast<int32_t>(p) == g_app.selected;
  // A sub stream that failed is ruled out by the switch itself (WantStream).
  return WantedStream(!slot.subUrl.empty(), false, fillsStage, w, h, slot.subWidth.load(),
                      slot.subHeight.load());
}

// Starts and stops clients until every slot runs the streams its switch
// wants. Pauses the render gate only when something changes.
void ApplyFeeds() {
  struct Change {
    size_t position;
    StreamKind kind;
    bool start;
  };
  std::vector<Change> changes;
  for (size_t p = 0; p < g_app.slots.size(); ++p) {
    Slot* slot = g_app.slots[p];
    slot->settlePosted.store(false);
    if (!slot->streamsStarted) continue;
    bool mainOpen = false;
    bool subOpen = false;
    {
      std::lock_guard<std::mutex> guard(slot->switchLock);
      mainOpen = slot->streams.mainOpen;
      subOpen = slot->streams.subOpen;
    }
    if (mainOpen != (slot->main.client != nullptr))
      changes.push_back(Change{p, StreamKind::kMain, mainOpen});
    if (subOpen != (slot->sub.client != nullptr))
      changes.push_back(Change{p, StreamKind::kSub, subOpen});
  }
  if (changes.empty()) return;
  g_app.renderGate.Pause();
  for (const Change& change : changes) {
    Slot* slot = g_app.slots[change.position];
    if (change.start)
      StartFeed(slot, change.kind, static_cast<int32_t>(change.position));
    else
      ReleaseFeed(FeedOf(*slot, change.kind));
  }
  g_app.renderGate.Resume();
}

void SendAudioFormat(const Slot* slot) {
  if (!slot->main.client) return;
  AudioFormat format = slot->main.client->GetAudioFormat();
  if (format.valid && !format.audioSpecificConfig.empty()) {
    g_app.audio.SetFormat(static_cast<uint32_t>(format.sampleRate),
                          static_cast<uint32_t>(format.channels), format.audioSpecificConfig);
  }
}

}  // namespace

void BuildSlots() {
  // No render tick walks the list while it is torn down and built again.
  g_app.renderGate.Pause();

  // Every client ends before any slot goes, so no callback runs into a
  // destroyed slot.
  for (Slot* slot : g_app.slots) {
    if (slot->main.client) slot->main.client->Stop();
    if (slot->sub.client) slot->sub.client->Stop();
  }
  for (Slot* slot : g_app.slots) DestroySlot(slot);
  g_app.slots.clear();
  // The positions are about to name other cameras: none may keep the picture,
  // size or picture time of the camera it showed before.
  g_app.renderer.ForgetSlotPictures();

  g_app.selected = 0;
  g_app.zoom = 1.0;
  g_app.panX = 0.5;
  g_app.panY = 0.5;
  // A zoom animation or drag still running belongs to the old list: left on,
  // its next timer tick would store the old target into the newly selected
  // camera and save it.
  g_app.zoomAnimating = false;
  g_app.panning = false;
  g_app.navigatorDragging = false;
  g_app.audio.SetActiveSlot(-1);

  SortCamerasByName(g_app.config.Cameras, CompareNames);
  std::vector<std::string> names;
  for (int32_t index : PlanSlots(g_app.config.Cameras)) {
    const CameraEntry& entry = g_app.config.Cameras[index];
    Slot* slot = new Slot();
    slot->name = entry.Name;
    slot->url = entry.Url;
    slot->subUrl = entry.SubUrl;
    slot->zoom = entry.Zoom;
    slot->panX = entry.PanX;
    slot->panY = entry.PanY;
    slot->configIndex = index;
    g_app.slots.push_back(slot);
    names.push_back(entry.Name);
  }

  g_app.selected = FindSelectedSlot(names, g_app.config.SelectedCamera);
  if (!g_app.slots.empty()) {
    const Slot* chosen = g_app.slots[g_app.selected];
    g_app.zoom = chosen->zoom;
    g_app.panX = chosen->panX;
    g_app.panY = chosen->panY;
  }

  g_app.renderGate.Resume();

  g_app.audio.SetMuted(g_app.config.Muted);
  g_app.audio.SetActiveSlot(g_app.selected);

  // Every slot starts the stream its first place wants.
  LayoutTiles(false);
  const double now = NowMs();
  for (size_t p = 0; p < g_app.slots.size(); ++p) {
    Slot* slot = g_app.slots[p];
    const StreamKind wanted = WantedFor(p);
    {
      std::lock_guard<std::mutex> guard(slot->switchLock);
      StartStreams(slot->streams, !slot->subUrl.empty(), wanted, now);
    }
    slot->streamsStarted = true;
  }
  ApplyFeeds();
  if (!g_app.slots.empty()) SendAudioFormat(g_app.slots[g_app.selected]);
}

void UpdateStreams() {
  const double now = NowMs();
  for (size_t p = 0; p < g_app.slots.size(); ++p) {
    Slot* slot = g_app.slots[p];
    if (!slot->streamsStarted || slot->subUrl.empty()) continue;
    const StreamKind wanted = WantedFor(p);
    std::lock_guard<std::mutex> guard(slot->switchLock);
    NoteTime(slot->streams, now);
    WantStream(slot->streams, wanted, now);
  }
  ApplyFeeds();
}

void SettleStreams() {
  ApplyFeeds();
}

void RefreshAudioFormat() {
  if (g_app.slots.empty()) return;
  if (g_app.selected < 0 || static_cast<size_t>(g_app.selected) >= g_app.slots.size()) return;
  SendAudioFormat(g_app.slots[g_app.selected]);
}
