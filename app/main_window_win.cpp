#include "app/main_window_win.h"

#include <windowsx.h>

#include <string>

#include "app/about_text.h"
#include "app/app_state.h"
#include "app/discover_dialog_win.h"
#include "app/grid_layout.h"
#include "app/layout_win.h"
#include "app/settings_dialog_win.h"
#include "app/slots_win.h"
#include "app/window_placement.h"
#include "config/config_file_win.h"
#include "config/wide_text_win.h"

namespace {

// Colours of the dark menu bar.
const COLORREF kBarColour = RGB(32, 34, 38);
const COLORREF kHotColour = RGB(58, 62, 70);
const COLORREF kTextColour = RGB(228, 230, 233);
const COLORREF kGrayedTextColour = RGB(120, 124, 130);

// Undocumented menu-bar messages: paint the bar's background, paint one item.
const UINT kUahDrawMenu = 0x0091;
const UINT kUahDrawMenuItem = 0x0092;

// What the program reads of their lParam records.
struct UahMenu {
  HMENU menu;
  HDC hdc;
  DWORD flags;
};
struct UahDrawMenuItem {
  DRAWITEMSTRUCT dis;
  UahMenu um;
  int position;
};

const wchar_t kNoCamerasItem[] = L"(no cameras \u2014 Discover or add in Settings)";

bool HasSlot(int p) {
  return p >= 0 && static_cast<size_t>(p) < g_app.slots.size();
}

POINT PointFromLParam(LPARAM lParam) {
  POINT point;
  point.x = GET_X_LPARAM(lParam);
  point.y = GET_Y_LPARAM(lParam);
  return point;
}

HFONT MenuFont() {
  if (!g_app.menuFont) {
    NONCLIENTMETRICSW metrics{};
    static_assert(sizeof(NONCLIENTMETRICSW) == 504, "NONCLIENTMETRICSW with the padded border");
    metrics.cbSize = sizeof metrics;
    HFONT font = nullptr;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
      font = CreateFontIndirectW(&metrics.lfMenuFont);
    }
    g_app.menuFont = font ? font : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  }
  return g_app.menuFont;
}

void FillSolid(HDC dc, const RECT& rect, COLORREF colour) {
  HBRUSH brush = CreateSolidBrush(colour);
  if (!brush) return;
  FillRect(dc, &rect, brush);
  DeleteObject(brush);
}

void PaintMenuBarBackground(HWND window, const UahMenu* record) {
  MENUBARINFO info{};
  info.cbSize = sizeof info;
  if (!GetMenuBarInfo(window, OBJID_MENU, 0, &info)) return;
  RECT windowRect{};
  GetWindowRect(window, &windowRect);
  RECT bar = info.rcBar;
  OffsetRect(&bar, -windowRect.left, -windowRect.top);
  FillSolid(record->hdc, bar, kBarColour);
}

void PaintMenuBarItem(HWND, const UahDrawMenuItem* record) {
  wchar_t text[64] = {0};
  MENUITEMINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = MIIM_STRING;
  info.dwTypeData = text;
  info.cch = 63;
  if (!GetMenuItemInfoW(record->um.menu, static_cast<UINT>(record->position), TRUE, &info)) {
    text[0] = 0;
  }
  text[63] = 0;
  const DRAWITEMSTRUCT& dis = record->dis;
  HDC dc = dis.hDC ? dis.hDC : record->um.hdc;
  bool hot = (dis.itemState & (ODS_SELECTED | ODS_HOTLIGHT)) != 0;
  FillSolid(dc, dis.rcItem, hot ? kHotColour : kBarColour);
  SetBkMode(dc, TRANSPARENT);
  bool grayed = (dis.itemState & (ODS_GRAYED | ODS_DISABLED)) != 0;
  SetTextColor(dc, grayed ? kGrayedTextColour : kTextColour);
  HGDIOBJ previous = SelectObject(dc, MenuFont());
  UINT format = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
  if (dis.itemState & ODS_NOACCEL) format |= DT_HIDEPREFIX;
  RECT rect = dis.rcItem;
  DrawTextW(dc, text, -1, &rect, format);
  if (previous) SelectObject(dc, previous);
}

// The one-pixel row between the menu bar and the client area.
void PaintMenuBarLine(HWND window) {
  MENUBARINFO info{};
  info.cbSize = sizeof info;
  if (!GetMenuBarInfo(window, OBJID_MENU, 0, &info)) return;
  RECT client{};
  GetClientRect(window, &client);
  MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&client), 2);
  RECT windowRect{};
  GetWindowRect(window, &windowRect);
  OffsetRect(&client, -windowRect.left, -windowRect.top);
  RECT line = client;
  line.top = client.top - 1;
  line.bottom = client.top;
  HDC dc = GetWindowDC(window);
  if (!dc) return;
  FillSolid(dc, line, kBarColour);
  ReleaseDC(window, dc);
}

void OnLeftButtonDown(POINT q) {
  if (IsAudioIconActive()) {
    RECT icon = AudioIconRect();
    if (PtInRect(&icon, q)) {
      OnCommand(kCmdMute);
      return;
    }
  }
  if (IsNavigatorActive()) {
    RECT navigator = NavigatorRect();
    if (PtInRect(&navigator, q)) {
      g_app.navigatorDragging = true;
      SetCapture(g_app.mainWindow);
      DragNavigator(q);
      return;
    }
  }
  int t = HitTestTile(q);
  if (t >= 0 && t != g_app.selected) {
    SelectCamera(t);
  } else if (t >= 0 && t == g_app.selected && IsNavigatorActive()) {
    g_app.zoomAnimating = false;
    g_app.panning = true;
    GetCursorPos(&g_app.lastCursor);
    SetCapture(g_app.mainWindow);
  } else {
    // Drag the whole window, as from its title bar.
    ReleaseCapture();
    SendMessageW(g_app.mainWindow, WM_NCLBUTTONDOWN, HTCAPTION, 0);
  }
}

LPCWSTR CursorFor(POINT q) {
  if (IsAudioIconActive()) {
    RECT icon = AudioIconRect();
    if (PtInRect(&icon, q)) return IDC_HAND;
  }
  if (IsNavigatorActive()) {
    RECT navigator = NavigatorRect();
    if (PtInRect(&navigator, q)) return IDC_HAND;
  }
  int t = HitTestTile(q);
  if (t >= 0 && t != g_app.selected) return IDC_HAND;
  if (t >= 0 && t == g_app.selected && IsNavigatorActive()) return IDC_SIZEALL;
  return IDC_ARROW;
}

void ShowContextMenu() {
  POINT at{};
  GetCursorPos(&at);
  HMENU menu = CreatePopupMenu();
  if (!menu) return;
  FillCamerasMenu(menu);
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, kCmdSettings, L"Settings\u2026");
  SetForegroundWindow(g_app.mainWindow);
  UINT id = static_cast<UINT>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0,
                                             g_app.mainWindow, nullptr));
  PostMessageW(g_app.mainWindow, WM_NULL, 0, 0);
  DestroyMenu(menu);
  if (id != 0) OnCommand(id);
}

void OnInitMenuPopup(HMENU popup) {
  if (popup == g_app.camerasMenu) {
    FillCamerasMenu(g_app.camerasMenu);
  } else if (popup == g_app.viewMenu) {
    CheckMenuItem(popup, kCmdMute, MF_BYCOMMAND | (g_app.config.Muted ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(popup, kCmdAlwaysOnTop,
                  MF_BYCOMMAND | (g_app.config.AlwaysOnTop ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(popup, kCmdFullScreen,
                  MF_BYCOMMAND | (g_app.fullScreen ? MF_CHECKED : MF_UNCHECKED));
    EnableMenuItem(popup, kCmdFullScreen,
                   MF_BYCOMMAND | (g_app.slots.size() < 2 ? MF_GRAYED : MF_ENABLED));
    CheckMenuItem(popup, kCmdGrid, MF_BYCOMMAND | (GridShown() ? MF_CHECKED : MF_UNCHECKED));
  }
}

// repeated: the key is held down (auto-repeat); only stepping through the
// cameras repeats, a toggle flips once per press.
void OnKey(int32_t virtualKey, bool repeated) {
  const int32_t count = static_cast<int32_t>(g_app.slots.size());
  const KeyCommand command = CommandForKey(virtualKey, GridShown(), count);
  const bool steps = command.action == KeyAction::kPrevious || command.action == KeyAction::kNext;
  if (repeated && !steps) return;
  switch (command.action) {
    case KeyAction::kSelectCamera: SelectCamera(command.camera); break;
    case KeyAction::kPrevious: SelectCamera((g_app.selected + count - 1) % count); break;
    case KeyAction::kNext: SelectCamera((g_app.selected + 1) % count); break;
    case KeyAction::kToggleFullScreen: OnCommand(kCmdFullScreen); break;
    case KeyAction::kLeaveFullScreen:
      if (g_app.fullScreen) OnCommand(kCmdFullScreen);
      break;
    case KeyAction::kToggleGrid: OnCommand(kCmdGrid); break;
    case KeyAction::kToggleMute: OnCommand(kCmdMute); break;
    case KeyAction::kNone: break;
  }
}

void ShowAbout() {
  MessageBoxW(g_app.mainWindow, Widen(AboutText()).c_str(), L"About Tavik", MB_ICONINFORMATION);
}

}  // namespace

void SaveSettings() {
  SaveConfig(g_app.config);
}

void ApplyAlwaysOnTop() {
  SetWindowPos(g_app.mainWindow, g_app.config.AlwaysOnTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0,
               0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
}

HMENU CreateMainMenu(HMENU* viewMenu, HMENU* camerasMenu) {
  HMENU bar = CreateMenu();
  HMENU file = CreatePopupMenu();
  HMENU view = CreatePopupMenu();
  HMENU cameras = CreatePopupMenu();
  HMENU help = CreatePopupMenu();
  AppendMenuW(file, MF_STRING, kCmdDiscover, L"&Discover from Console\u2026");
  AppendMenuW(file, MF_STRING, kCmdSettings, L"&Settings\u2026");
  AppendMenuW(file, MF_STRING, kCmdReload, L"&Reload streams");
  AppendMenuW(file, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(file, MF_STRING, kCmdExit, L"E&xit");
  AppendMenuW(view, MF_STRING, kCmdMute, L"&Mute audio\tM");
  AppendMenuW(view, MF_STRING, kCmdFullScreen, L"&Full-screen camera\tF11");
  AppendMenuW(view, MF_STRING, kCmdGrid, L"&Grid\tG");
  AppendMenuW(view, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(view, MF_STRING, kCmdAlwaysOnTop, L"Always on &top");
  AppendMenuW(help, MF_STRING, kCmdAbout, L"&About");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"&File");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(view), L"&View");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(cameras), L"&Cameras");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(help), L"&Help");
  if (viewMenu) *viewMenu = view;
  if (camerasMenu) *camerasMenu = cameras;
  return bar;
}

void FillCamerasMenu(HMENU menu) {
  while (GetMenuItemCount(menu) > 0) {
    if (!DeleteMenu(menu, 0, MF_BYPOSITION)) break;
  }
  if (g_app.slots.empty()) {
    AppendMenuW(menu, MF_STRING | MF_GRAYED, 0, kNoCamerasItem);
    return;
  }
  for (size_t p = 0; p < g_app.slots.size(); ++p) {
    UINT flags = MF_STRING;
    if (static_cast<int32_t>(p) == g_app.selected) flags |= MF_CHECKED;
    AppendMenuW(menu, flags, kCmdCameraBase + p, Widen(g_app.slots[p]->name).c_str());
  }
}

void SelectCamera(int p) {
  if (!HasSlot(p) || p == g_app.selected) return;
  StoreViewState();
  g_app.zoomAnimating = false;
  g_app.selected = p;
  LoadViewState();
  g_app.config.SelectedCamera = g_app.slots[p]->name;
  SaveSettings();
  g_app.audio.SetActiveSlot(p);
  RefreshAudioFormat();
  LayoutTiles(true);
}

void OnCommand(UINT id) {
  if (id >= kCmdCameraBase) {
    SelectCamera(static_cast<int>(id - kCmdCameraBase));
    return;
  }
  switch (id) {
    case kCmdSettings: OpenSettings(); break;
    case kCmdReload:
      g_app.config = LoadConfig();
      ApplyAlwaysOnTop();
      BuildSlots();
      break;
    case kCmdAlwaysOnTop:
      g_app.config.AlwaysOnTop = !g_app.config.AlwaysOnTop;
      ApplyAlwaysOnTop();
      SaveSettings();
      break;
    case kCmdExit: PostMessageW(g_app.mainWindow, WM_CLOSE, 0, 0); break;
    case kCmdDiscover: OpenDiscover(); break;
    case kCmdFullScreen:
      if (g_app.slots.size() >= 2) {
        g_app.fullScreen = !g_app.fullScreen;
        LayoutTiles(true);
      }
      break;
    case kCmdMute:
      g_app.config.Muted = !g_app.config.Muted;
      g_app.audio.SetMuted(g_app.config.Muted);
      SaveSettings();
      PublishScene();
      break;
    case kCmdAbout: ShowAbout(); break;
    case kCmdGrid:
      // From a camera shown alone, the grid comes back with every camera.
      if (g_app.config.GridLayout && g_app.fullScreen) {
        g_app.fullScreen = false;
      } else {
        g_app.config.GridLayout = !g_app.config.GridLayout;
        g_app.fullScreen = false;
        SaveSettings();
      }
      LayoutTiles(true);
      break;
    default: break;
  }
}

void SaveWindowPlacement() {
  WINDOWPLACEMENT placement{};
  static_assert(sizeof(WINDOWPLACEMENT) == 44, "placement record length");
  placement.length = sizeof placement;
  if (!GetWindowPlacement(g_app.mainWindow, &placement)) return;
  g_app.config.WindowMaximized = placement.showCmd == SW_SHOWMAXIMIZED;
  RECT rect = placement.rcNormalPosition;
  RECT current{};
  if (placement.showCmd == SW_SHOWNORMAL && GetWindowRect(g_app.mainWindow, &current)) {
    rect = current;  // already in screen coordinates
  } else {
    // The normal rectangle is in workspace coordinates: shift it back to the
    // screen by the work area's offset inside its monitor.
    HMONITOR monitor = MonitorFromWindow(g_app.mainWindow, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (monitor && GetMonitorInfoW(monitor, &info)) {
      PointOffset offset = WorkspaceOffset(info.rcMonitor.left, info.rcMonitor.top,
                                           info.rcWork.left, info.rcWork.top);
      OffsetRect(&rect, offset.x, offset.y);
    }
  }
  g_app.config.WindowLeft = rect.left;
  g_app.config.WindowTop = rect.top;
  g_app.config.WindowWidth = static_cast<double>(rect.right) - rect.left;
  g_app.config.WindowHeight = static_cast<double>(rect.bottom) - rect.top;
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // The size messages of window creation arrive before CreateWindowExW returns:
  // the layout needs the handle already.
  if (message == WM_NCCREATE && !g_app.mainWindow) g_app.mainWindow = window;
  switch (message) {
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) {
        g_app.renderer.RequestResize(LOWORD(lParam), HIWORD(lParam));
        LayoutTiles(false);
        if (wParam == SIZE_MAXIMIZED) {
          SaveWindowPlacement();
          SaveSettings();
        }
      }
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      g_app.renderer.RequestRedraw();  // uncovered or restored: draw it again
      return 0;
    }
    case WM_CLOSE:
      StoreViewState();
      SaveWindowPlacement();
      SaveSettings();
      DestroyWindow(window);
      return 0;
    case WM_ERASEBKGND: return 1;
    case WM_SETCURSOR:
      if (LOWORD(lParam) == HTCLIENT) {
        POINT q{};
        GetCursorPos(&q);
        ScreenToClient(window, &q);
        SetCursor(LoadCursorW(nullptr, CursorFor(q)));
        return TRUE;
      }
      break;
    case WM_GETMINMAXINFO: {
      MINMAXINFO* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize.x = 240;
      info->ptMinTrackSize.y = 160;
      return 0;
    }
    case WM_NCPAINT:
    case WM_NCACTIVATE: {
      LRESULT result = DefWindowProcW(window, message, wParam, lParam);
      PaintMenuBarLine(window);
      return result;
    }
    case kUahDrawMenu:
      PaintMenuBarBackground(window, reinterpret_cast<const UahMenu*>(lParam));
      return TRUE;
    case kUahDrawMenuItem:
      PaintMenuBarItem(window, reinterpret_cast<const UahDrawMenuItem*>(lParam));
      return TRUE;
    case WM_COMMAND:
      if (lParam == 0) {
        OnCommand(LOWORD(wParam));
        return 0;
      }
      break;
    case WM_TIMER:
      if (wParam == kAnimationTimerId) {
        OnAnimationTimer();
        return 0;
      }
      if (wParam == kRefreshTimerId) {
        UpdateStreams();
        PublishScene();
        RefreshAudioFormat();
        return 0;
      }
      break;
    case kStreamsSettleMessage: SettleStreams(); return 0;
    case WM_INITMENUPOPUP: OnInitMenuPopup(reinterpret_cast<HMENU>(wParam)); return 0;
    case WM_MOUSEMOVE:
      if (g_app.navigatorDragging) {
        DragNavigator(PointFromLParam(lParam));
        return 0;
      }
      if (g_app.panning) {
        PanWithCursor();
        return 0;
      }
      break;
    case WM_LBUTTONDOWN: OnLeftButtonDown(PointFromLParam(lParam)); return 0;
    case WM_LBUTTONUP:
      if (g_app.panning || g_app.navigatorDragging) {
        ReleaseCapture();
        StoreViewState();
        SaveSettings();
        return 0;
      }
      break;
    case WM_LBUTTONDBLCLK:
      if (HitTestTile(PointFromLParam(lParam)) == g_app.selected && g_app.slots.size() >= 2) {
        g_app.fullScreen = !g_app.fullScreen;
        LayoutTiles(true);
      }
      return 0;
    case WM_RBUTTONUP: ShowContextMenu(); return 0;
    case WM_KEYDOWN:
      OnKey(static_cast<int32_t>(wParam), (lParam & (LPARAM{1} << 30)) != 0);
      return 0;
    case WM_MOUSEWHEEL:
      MouseWheel(PointFromLParam(lParam), GET_WHEEL_DELTA_WPARAM(wParam));
      return 0;
    case WM_CAPTURECHANGED:
      g_app.panning = false;
      g_app.navigatorDragging = false;
      break;
    case WM_EXITSIZEMOVE:
      SaveWindowPlacement();
      SaveSettings();
      return 0;
    default: break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}
