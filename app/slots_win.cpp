#include "app/slots_win.h"

#include <utility>

#include "app/app_state.h"
#include "app/layout_win.h"
#include "app/slot_plan.h"
#include "config/wide_text_win.h"
#include "console/stream_url.h"

namespace {

int CompareNames(const std::string& a, const std::string& b) {
  return lstrcmpiW(Widen(a).c_str(), Widen(b).c_str());
}

// The slot's client has been stopped before this runs.
void DestroySlot(Slot* slot) {
  {
    std::lock_guard<std::mutex> guard(slot->queueLock);
    slot->queue.clear();
  }
  if (slot->decoder) {
    slot->decoder->Close();
    delete slot->decoder;
    slot->decoder = nullptr;
  }
  delete slot->client;  // stops it first (already stopped)
  slot->client = nullptr;
  delete slot;
}

void StartClient(Slot* slot, int32_t position) {
  slot->client = new RtspClient();
  AccessUnitCallback onAccessUnit = [slot](std::vector<uint8_t>&& bytes, int64_t timestamp) {
    AccessUnit unit;
    unit.bytes = std::move(bytes);
    unit.timestamp = timestamp;
    {
      std::lock_guard<std::mutex> guard(slot->queueLock);
      if (AppendAccessUnit(slot->queue, std::move(unit))) slot->queueDropped = true;
    }
    if (g_app.renderWake && slot->wakesRenderThread.load()) SetEvent(g_app.renderWake);
  };
  ConnectionStateCallback onConnectionState = [slot](bool connected) {
    slot->connected.store(connected);
  };
  AudioFrameCallback onAudioFrame = [position](const uint8_t* bytes, unsigned size) {
    g_app.audio.PushFrame(position, bytes, size);
  };
  slot->client->Start(ToPlainRtspUrl(slot->url), std::move(onAccessUnit),
                      std::move(onConnectionState), std::move(onAudioFrame));
}

void SendAudioFormat(const Slot* slot) {
  if (!slot->client) return;
  AudioFormat format = slot->client->GetAudioFormat();
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
    if (slot->client) slot->client->Stop();
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

  for (size_t p = 0; p < g_app.slots.size(); ++p) {
    StartClient(g_app.slots[p], static_cast<int32_t>(p));
  }
  g_app.renderGate.Resume();

  g_app.audio.SetMuted(g_app.config.Muted);
  g_app.audio.SetActiveSlot(g_app.selected);
  if (!g_app.slots.empty()) SendAudioFormat(g_app.slots[g_app.selected]);

  LayoutTiles(false);
}

void RefreshAudioFormat() {
  if (g_app.slots.empty()) return;
  if (g_app.selected < 0 || static_cast<size_t>(g_app.selected) >= g_app.slots.size()) return;
  SendAudioFormat(g_app.slots[g_app.selected]);
}
