#include "video/render_thread_win.h"

#include <gtest/gtest.h>

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
