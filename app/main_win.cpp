// Tavik.exe entry point: start-up, the message loop and shutdown.
#include <windows.h>
#include <dwmapi.h>
#include <mfapi.h>

#include "app/app_state.h"
#include "app/main_window_win.h"
#include "app/settings_dialog_win.h"
#include "app/slots_win.h"
#include "app/window_placement.h"
#include "config/config_file_win.h"
#include "video/render_thread_win.h"

namespace {

const wchar_t kWindowClass[] = L"Orbisfield.Tavik";
const wchar_t kWindowTitle[] = L"Tavik";
const DWORD kMainWindowStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
const DWORD kDarkModeAttribute = 20;  // DWMWA_USE_IMMERSIVE_DARK_MODE

// Prefer the dark theme for menus (the theme library's ordinal exports 135:
// set the preferred app mode, 136: flush the menu themes). Either may be
// missing; the library stays loaded.
void PreferDarkMenus() {
  HMODULE theme = LoadLibraryW(L"uxtheme.dll");
  if (!theme) return;
  using SetPreferredAppMode = int(WINAPI*)(int);
  using FlushMenuThemes = void(WINAPI*)();
  FARPROC setMode = GetProcAddress(theme, MAKEINTRESOURCEA(135));
  if (setMode) reinterpret_cast<SetPreferredAppMode>(reinterpret_cast<void*>(setMode))(2);
  FARPROC flush = GetProcAddress(theme, MAKEINTRESOURCEA(136));
  if (flush) reinterpret_cast<FlushMenuThemes>(reinterpret_cast<void*>(flush))();
}

// Puts the window at the saved position when one was saved and a monitor is
// still there. The saved position is in screen coordinates; the placement's
// normal rectangle is in workspace coordinates of that monitor.
void RestoreSavedPosition(int width, int height) {
  int32_t left = 0, top = 0;
  if (!StartupPosition(g_app.config.WindowLeft, g_app.config.WindowTop, width, height, &left,
                       &top)) {
    return;
  }
  RECT rect{left, top, left + width, top + height};
  HMONITOR monitor = MonitorFromRect(&rect, MONITOR_DEFAULTTONULL);
  if (!monitor) return;
  MONITORINFO info{};
  info.cbSize = sizeof info;
  if (GetMonitorInfoW(monitor, &info)) {
    PointOffset offset =
        WorkspaceOffset(info.rcMonitor.left, info.rcMonitor.top, info.rcWork.left, info.rcWork.top);
    OffsetRect(&rect, -offset.x, -offset.y);
  }
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  if (!GetWindowPlacement(g_app.mainWindow, &placement)) return;
  placement.showCmd = SW_HIDE;
  placement.rcNormalPosition = rect;
  SetWindowPlacement(g_app.mainWindow, &placement);
}

bool CreateMainWindow() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_DBLCLKS;
  windowClass.lpfnWndProc = MainWndProc;
  windowClass.hInstance = g_app.instance;
  windowClass.hIcon = LoadIconW(g_app.instance, MAKEINTRESOURCEW(1));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassExW(&windowClass);

  int width = StartupWidth(g_app.config.WindowWidth);
  int height = StartupHeight(g_app.config.WindowHeight);
  g_app.mainWindow =
      CreateWindowExW(0, kWindowClass, kWindowTitle, kMainWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                      width, height, nullptr, nullptr, g_app.instance, nullptr);
  if (!g_app.mainWindow) return false;

  RestoreSavedPosition(width, height);

  BOOL dark = TRUE;
  DwmSetWindowAttribute(g_app.mainWindow, kDarkModeAttribute, &dark, sizeof dark);

  HMENU bar = CreateMainMenu(&g_app.viewMenu, &g_app.camerasMenu);
  SetMenu(g_app.mainWindow, bar);
  ApplyAlwaysOnTop();
  ShowWindow(g_app.mainWindow, g_app.config.WindowMaximized ? SW_SHOWMAXIMIZED : SW_SHOW);
  return true;
}

void Shutdown() {
  for (Slot* slot : g_app.slots) {
    if (slot->main.client) slot->main.client->Stop();
    if (slot->sub.client) slot->sub.client->Stop();
  }
  g_app.audio.Stop();
  g_app.renderStop.exchange(true);
  bool renderEnded = true;
  if (g_app.renderThread) {
    renderEnded = WaitForSingleObject(g_app.renderThread, 5000) == WAIT_OBJECT_0;
    CloseHandle(g_app.renderThread);
    g_app.renderThread = nullptr;
  }
  // A render thread still running may yet wait on it; the process ends soon.
  if (renderEnded && g_app.renderWake) {
    CloseHandle(g_app.renderWake);
    g_app.renderWake = nullptr;
  }
  MFShutdown();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  PreferDarkMenus();
  g_app.instance = instance;

  MigrateLegacyConfig();
  bool firstRun = GetFileAttributesW(ConfigFilePath().c_str()) == INVALID_FILE_ATTRIBUTES;
  g_app.config = LoadConfig();

  if (FAILED(MFStartup(MF_VERSION, MFSTARTUP_FULL))) {
    MessageBoxW(nullptr, L"Media Foundation failed to start.", L"Tavik", MB_ICONERROR);
    return 1;
  }

  if (!CreateMainWindow()) {
    // Nothing to run a loop for.
    MFShutdown();
    return 1;
  }

  g_app.renderWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  g_app.renderThread = CreateThread(nullptr, 0, RenderThreadProc, nullptr, 0, nullptr);
  Sleep(50);
  g_app.audio.Start();
  BuildSlots();
  SetTimer(g_app.mainWindow, kRefreshTimerId, kRefreshTimerMs, nullptr);

  if (firstRun || g_app.config.Cameras.empty()) OpenSettings();

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }

  Shutdown();
  return 0;
}
