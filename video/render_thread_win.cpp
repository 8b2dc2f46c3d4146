// The render thread: every tick it takes each slot's queued access units,
// decodes them (opening the slot's decoder on first use) and draws a frame.
#include "video/render_thread_win.h"

#include <chrono>
#include <deque>
#include <utility>

#include "app/app_state.h"
#include "video/renderer_win.h"
#include "video/video_decoder_win.h"

namespace {

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

constexpr LONGLONG kTickDue = -166667;  // 16.6667 ms, relative, in 100 ns units
constexpr DWORD kMaxWaitMs = 100;

// Decoding time one tick may spend before it draws. When the decoders fall
// behind (software decoding of many streams), the rest stays queued on the
// slots, where the overflow rule of the queue drops it, and the window keeps
// presenting instead of stalling in ever longer ticks.
constexpr auto kDecodeBudget = std::chrono::milliseconds(50);

void CloseDecoders() {
    for (Slot* slot : g_app.slots) {
        if (!slot || !slot->decoder) continue;
        VideoDecoder* decoder = slot->decoder;
        slot->decoder = nullptr;
        decoder->Close();
        delete decoder;
    }
}

}  // namespace

size_t DecodeQueuedUnits(Renderer& renderer, size_t first, std::deque<AccessUnit>& taken) {
    const size_t count = g_app.slots.size();
    if (count == 0) return 0;
    const auto start = std::chrono::steady_clock::now();
    for (size_t k = 0; k < count; ++k) {
        const size_t p = (first + k) % count;
        Slot* slot = g_app.slots[p];
        if (!slot) continue;
        {
            std::lock_guard<std::mutex> lock(slot->queueLock);
            taken.swap(slot->queue);
        }
        if (taken.empty()) continue;

        if (slot->decoder && slot->decoder->GpuHandOffFailed()) {
            // It takes the stream but none of its pictures reaches the
            // screen: decode this slot into system memory from now on.
            slot->decoder->Close();
            delete slot->decoder;
            slot->decoder = nullptr;
            slot->systemMemoryDecoding = true;
        }
        if (!slot->decoder) {
            const int32_t codec = slot->client ? slot->client->GetVideoCodec() : 0;
            if (codec == 0) {
                taken.clear();  // nothing can be decoded yet: dropped
                continue;
            }
            VideoDecoder* decoder = new VideoDecoder;
            IMFDXGIDeviceManager* manager = slot->systemMemoryDecoding ? nullptr : renderer.DeviceManager();
            if (!decoder->Open(renderer.Device(), manager, codec)) {
                decoder->Close();
                delete decoder;
                taken.clear();  // tried again with the next data
                continue;
            }
            slot->decoder = decoder;
        }

        const int position = static_cast<int>(p);
        const FrameCallback onFrame = [&renderer, position](const DecodedFrame& frame) {
            return renderer.OnDecodedFrame(position, frame);
        };
        while (!taken.empty()) {
            if (std::chrono::steady_clock::now() - start >= kDecodeBudget) {
                // Out of time: put the rest back in front of what arrived
                // meanwhile, and let this tick draw.
                {
                    std::lock_guard<std::mutex> lock(slot->queueLock);
                    taken.insert(taken.end(), std::make_move_iterator(slot->queue.begin()),
                                 std::make_move_iterator(slot->queue.end()));
                    slot->queue.swap(taken);
                }
                taken.clear();  // the moved-from units of what had arrived meanwhile
                return (p + 1) % count;
            }
            const AccessUnit& unit = taken.front();
            slot->decoder->Decode(unit.bytes.data(), unit.bytes.size(), unit.timestamp, onFrame);
            taken.pop_front();
        }
    }
    return (first + 1) % count;
}

DWORD WINAPI RenderThreadProc(LPVOID) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Renderer& renderer = g_app.renderer;
    if (!renderer.Init(g_app.mainWindow)) {
        renderer.Shutdown();  // releases whatever Init had made
        CoUninitialize();
        return 1;
    }
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);

    size_t firstSlot = 0;
    std::deque<AccessUnit> taken;  // reused every tick (see DecodeQueuedUnits)
    while (!g_app.renderStop.load()) {
        if (timer) {
            LARGE_INTEGER due;
            due.QuadPart = kTickDue;
            SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
        }
        if (g_app.renderGate.EnterTick()) {
            firstSlot = DecodeQueuedUnits(renderer, firstSlot, taken);
            g_app.renderGate.LeaveTick();
        }
        renderer.DrawFrame();
        if (timer) WaitForSingleObject(timer, kMaxWaitMs);
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
