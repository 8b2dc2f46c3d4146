#include "video/render_thread_win.h"

#include <gtest/gtest.h>

#include <deque>

#include "app/app_state.h"
#include "tests/video_test_util_win.h"

namespace {

HWND MakeWindow() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TavikRenderThreadTest";
    RegisterClassExW(&wc);
    return CreateWindowExW(0, wc.lpszClassName, L"render thread test", WS_POPUP, 0, 0, 160, 120, nullptr, nullptr,
                           wc.hInstance, nullptr);
}

size_t QueuedUnits(Slot& slot) {
    std::lock_guard<std::mutex> lock(slot.queueLock);
    return slot.queue.size();
}

}  // namespace

TEST(RenderThreadWin, DropsUnitsWithoutACodecAndStopsOnRequest) {
    MediaFoundationScope mf;
    ASSERT_TRUE(mf.ok);
    HWND window = MakeWindow();
    ASSERT_NE(window, nullptr);
    g_app.mainWindow = window;
    g_app.renderStop = false;

    // A slot without a stream client: its units cannot be decoded and go.
    Slot slot;
    for (int i = 0; i < 5; ++i) slot.queue.push_back(AccessUnit{{0, 0, 0, 1, 0x65, 0x88}, i});
    g_app.renderGate.Pause();  // no tick walks the list while it changes
    g_app.slots.push_back(&slot);
    g_app.renderGate.Resume();

    HANDLE thread = CreateThread(nullptr, 0, RenderThreadProc, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    const ULONGLONG deadline = GetTickCount64() + 30000;
    while (QueuedUnits(slot) != 0 && GetTickCount64() < deadline) Sleep(10);
    EXPECT_EQ(QueuedUnits(slot), 0u);
    EXPECT_EQ(slot.decoder, nullptr);

    g_app.renderStop = true;
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(thread);

    g_app.slots.clear();
    g_app.mainWindow = nullptr;
    g_app.renderStop = false;
    DestroyWindow(window);
}

TEST(RenderThreadWin, WorkingQueueIsEmptyAfterEverySlotAndTicksKeepTakingUnits) {
    // Slots without a stream client: every tick takes their units and drops
    // them. The thread's working queue goes from slot to slot and tick to
    // tick, so a unit left in it would reach the next slot's decoder.
    Renderer renderer;  // never initialised: no unit gets as far as drawing
    Slot a;
    Slot b;
    for (int i = 0; i < 40; ++i) a.queue.push_back(AccessUnit{{0, 0, 0, 1, 0x65, 0x88}, i});
    b.queue.push_back(AccessUnit{{0, 0, 0, 1, 0x41, 0x9a}, 0});
    g_app.renderGate.Pause();
    g_app.slots = {&a, &b};
    g_app.renderGate.Resume();

    std::deque<AccessUnit> taken;
    EXPECT_EQ(DecodeQueuedUnits(renderer, 1, taken), 0u);  // began at b; a comes first next tick
    EXPECT_TRUE(taken.empty());
    EXPECT_EQ(QueuedUnits(a), 0u);
    EXPECT_EQ(QueuedUnits(b), 0u);

    size_t first = 0;
    for (int tick = 0; tick < 50; ++tick) {
        for (int i = 0; i < 3; ++i) {
            std::lock_guard<std::mutex> lock(a.queueLock);
            a.queue.push_back(AccessUnit{{0, 0, 0, 1, 0x41, 0x9a}, tick});
        }
        if (tick % 7 == 0) {  // b: now and then, and empty in between
            std::lock_guard<std::mutex> lock(b.queueLock);
            b.queue.push_back(AccessUnit{{0, 0, 0, 1, 0x41, 0x9a}, tick});
        }
        first = DecodeQueuedUnits(renderer, first, taken);
        ASSERT_LT(first, 2u);
        ASSERT_TRUE(taken.empty()) << "tick " << tick;
        ASSERT_EQ(QueuedUnits(a), 0u) << "tick " << tick;
        ASSERT_EQ(QueuedUnits(b), 0u) << "tick " << tick;
    }
    EXPECT_EQ(a.decoder, nullptr);
    EXPECT_EQ(b.decoder, nullptr);

    g_app.renderGate.Pause();
    g_app.slots.clear();
    g_app.renderGate.Resume();
    EXPECT_EQ(DecodeQueuedUnits(renderer, 1, taken), 0u);  // no slots: nothing to do
}

TEST(RenderThreadWin, DecoderWhoseGpuHandOffFailedMakesWayForSystemMemory) {
    MediaFoundationScope mf;
    ASSERT_TRUE(mf.ok);
    HWND window = MakeWindow();
    ASSERT_NE(window, nullptr);
    Renderer renderer;
    ASSERT_TRUE(renderer.Init(window));
    const auto units = SplitAtDelimiters(ReadTestClip("two_colour_1280x720.h264"));
    ASSERT_EQ(units.size(), 6u);
    // A decoder on the GPU hand-off none of whose pictures is taken.
    VideoDecoder* decoder = new VideoDecoder;
    ASSERT_TRUE(decoder->Open(renderer.Device(), renderer.DeviceManager(), 1));
    const FrameCallback refuse = [](const DecodedFrame&) { return false; };
    for (int64_t i = 0; i < 30 && !decoder->GpuHandOffFailed(); ++i)
        decoder->Decode(units[i % 6].data(), units[i % 6].size(), i * 2000000, refuse);
    ASSERT_TRUE(decoder->GpuHandOffFailed());

    Slot slot;
    slot.decoder = decoder;
    slot.queue.push_back(AccessUnit{units[1], 0});
    g_app.renderGate.Pause();
    g_app.slots = {&slot};
    g_app.renderGate.Resume();
    std::deque<AccessUnit> taken;
    DecodeQueuedUnits(renderer, 0, taken);
    // Closed at the next data; the slot's next decoder opens without the
    // device manager (here there is no client yet, so none opens).
    EXPECT_EQ(slot.decoder, nullptr);
    EXPECT_TRUE(slot.systemMemoryDecoding);
    EXPECT_EQ(QueuedUnits(slot), 0u);

    g_app.renderGate.Pause();
    g_app.slots.clear();
    g_app.renderGate.Resume();
    if (slot.decoder) {
        slot.decoder->Close();
        delete slot.decoder;
    }
    renderer.Shutdown();
    DestroyWindow(window);
}
