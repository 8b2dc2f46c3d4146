// The main window's menus, its View menu states and the saving of its
// placement, on real Win32 windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/app_state.h"
#include "app/main_window_win.h"

namespace {

struct Item {
  UINT id = 0;
  std::wstring text;
  UINT type = 0;
  UINT state = 0;
  HMENU sub = nullptr;
};

Item ItemAt(HMENU menu, int position) {
  wchar_t text[256] = {0};
  MENUITEMINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = MIIM_ID | MIIM_STRING | MIIM_FTYPE | MIIM_STATE | MIIM_SUBMENU;
  info.dwTypeData = text;
  info.cch = 255;
  Item item;
  if (GetMenuItemInfoW(menu, static_cast<UINT>(position), TRUE, &info)) {
    item.id = info.wID;
    item.text = text;
    item.type = info.fType;
    item.state = info.fState;
    item.sub = info.hSubMenu;
  }
  return item;
}

// A main window of the program's own class, without the rest of start-up.
HWND CreateTestMainWindow() {
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = MainWndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = L"TavikMainWindowTest";
    registered = RegisterClassExW(&wc) != 0;
  }
  HWND window = CreateWindowExW(0, L"TavikMainWindowTest", L"Tavik", WS_OVERLAPPEDWINDOW, 100, 80,
                                400, 300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  g_app.mainWindow = window;
  HMENU bar = CreateMainMenu(&g_app.viewMenu, &g_app.camerasMenu);
  SetMenu(window, bar);
  return window;
}

void DestroyTestMainWindow(HWND window) {
  // Skip WM_CLOSE's save: destroy directly.
  DestroyWindow(window);
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {}
  g_app.mainWindow = nullptr;
  g_app.viewMenu = nullptr;
  g_app.camerasMenu = nullptr;
}

Slot* NamedSlot(const char* name) {
  Slot* slot = new Slot();
  slot->name = name;
  return slot;
}

}  // namespace

TEST(MainWindowMenus, BarTextsAndIdentifiers) {
  HMENU view = nullptr, cameras = nullptr;
  HMENU bar = CreateMainMenu(&view, &cameras);
  ASSERT_NE(bar, nullptr);
  ASSERT_EQ(GetMenuItemCount(bar), 4);
  EXPECT_EQ(ItemAt(bar, 0).text, L"&File");
  EXPECT_EQ(ItemAt(bar, 1).text, L"&View");
  EXPECT_EQ(ItemAt(bar, 2).text, L"&Cameras");
  EXPECT_EQ(ItemAt(bar, 3).text, L"&Help");
  EXPECT_EQ(ItemAt(bar, 1).sub, view);
  EXPECT_EQ(ItemAt(bar, 2).sub, cameras);
  EXPECT_EQ(GetMenuItemCount(cameras), 0);

  HMENU file = ItemAt(bar, 0).sub;
  ASSERT_EQ(GetMenuItemCount(file), 5);
  EXPECT_EQ(ItemAt(file, 0).text, L"&Discover from Console\u2026");
  EXPECT_EQ(ItemAt(file, 0).id, 5u);
  EXPECT_EQ(ItemAt(file, 1).text, L"&Settings\u2026");
  EXPECT_EQ(ItemAt(file, 1).id, 1u);
  EXPECT_EQ(ItemAt(file, 2).text, L"&Reload streams");
  EXPECT_EQ(ItemAt(file, 2).id, 2u);
  EXPECT_TRUE(ItemAt(file, 3).type & MFT_SEPARATOR);
  EXPECT_EQ(ItemAt(file, 4).text, L"E&xit");
  EXPECT_EQ(ItemAt(file, 4).id, 4u);

  ASSERT_EQ(GetMenuItemCount(view), 5);
  EXPECT_EQ(ItemAt(view, 0).text, L"&Mute audio\tM");
  EXPECT_EQ(ItemAt(view, 0).id, 7u);
  EXPECT_EQ(ItemAt(view, 1).text, L"&Full-screen camera\tF11");
  EXPECT_EQ(ItemAt(view, 1).id, 6u);
  EXPECT_EQ(ItemAt(view, 2).text, L"&Grid\tG");
  EXPECT_EQ(ItemAt(view, 2).id, 9u);
  EXPECT_TRUE(ItemAt(view, 3).type & MFT_SEPARATOR);
  EXPECT_EQ(ItemAt(view, 4).text, L"Always on &top");
  EXPECT_EQ(ItemAt(view, 4).id, 3u);

  HMENU help = ItemAt(bar, 3).sub;
  ASSERT_EQ(GetMenuItemCount(help), 1);
  EXPECT_EQ(ItemAt(help, 0).text, L"&About");
  EXPECT_EQ(ItemAt(help, 0).id, 8u);
  DestroyMenu(bar);
}

TEST(MainWindowMenus, CamerasMenuFollowsTheSlots) {
  HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING, 77, L"stale");
  ASSERT_TRUE(g_app.slots.empty());
  FillCamerasMenu(menu);
  ASSERT_EQ(GetMenuItemCount(menu), 1);
  Item hint = ItemAt(menu, 0);
  EXPECT_EQ(hint.text, L"(no cameras \u2014 Discover or add in Settings)");
  EXPECT_EQ(hint.id, 0u);
  EXPECT_TRUE(hint.state & MFS_GRAYED);

  g_app.slots = {NamedSlot("Porch"), NamedSlot(""), NamedSlot("Caf\xC3\xA9")};
  g_app.selected = 2;
  FillCamerasMenu(menu);
  ASSERT_EQ(GetMenuItemCount(menu), 3);
  EXPECT_EQ(ItemAt(menu, 0).text, L"Porch");
  EXPECT_EQ(ItemAt(menu, 0).id, 2000u);
  EXPECT_FALSE(ItemAt(menu, 0).state & MFS_CHECKED);
  EXPECT_EQ(ItemAt(menu, 1).text, L"");
  EXPECT_EQ(ItemAt(menu, 1).id, 2001u);
  EXPECT_EQ(ItemAt(menu, 2).text, L"Caf\u00e9");
  EXPECT_EQ(ItemAt(menu, 2).id, 2002u);
  EXPECT_TRUE(ItemAt(menu, 2).state & MFS_CHECKED);

  for (Slot* slot : g_app.slots) delete slot;
  g_app.slots.clear();
  g_app.selected = 0;
  DestroyMenu(menu);
}

TEST(MainWindowMenus, ViewMenuChecksAndGraying) {
  HWND window = CreateTestMainWindow();
  ASSERT_NE(window, nullptr);
  AppConfig saved = g_app.config;
  g_app.config.Muted = true;
  g_app.config.AlwaysOnTop = false;
  g_app.fullScreen = false;
  SendMessageW(window, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(g_app.viewMenu), 1);
  EXPECT_TRUE(GetMenuState(g_app.viewMenu, 7, MF_BYCOMMAND) & MF_CHECKED);
  EXPECT_FALSE(GetMenuState(g_app.viewMenu, 3, MF_BYCOMMAND) & MF_CHECKED);
  EXPECT_TRUE(GetMenuState(g_app.viewMenu, 6, MF_BYCOMMAND) & MF_GRAYED) << "fewer than 2 tiles";

  g_app.slots = {NamedSlot("a"), NamedSlot("b")};
  g_app.config.Muted = false;
  g_app.config.AlwaysOnTop = true;
  g_app.fullScreen = true;
  SendMessageW(window, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(g_app.viewMenu), 1);
  EXPECT_FALSE(GetMenuState(g_app.viewMenu, 7, MF_BYCOMMAND) & MF_CHECKED);
  EXPECT_TRUE(GetMenuState(g_app.viewMenu, 3, MF_BYCOMMAND) & MF_CHECKED);
  EXPECT_TRUE(GetMenuState(g_app.viewMenu, 6, MF_BYCOMMAND) & MF_CHECKED);
  EXPECT_FALSE(GetMenuState(g_app.viewMenu, 6, MF_BYCOMMAND) & MF_GRAYED);

  // The Cameras popup is refilled on opening.
  SendMessageW(window, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(g_app.camerasMenu), 2);
  EXPECT_EQ(GetMenuItemCount(g_app.camerasMenu), 2);

  for (Slot* slot : g_app.slots) delete slot;
  g_app.slots.clear();
  g_app.fullScreen = false;
  g_app.config = saved;
  DestroyTestMainWindow(window);
}

TEST(MainWindowPlacement, SavedInScreenPixelsAndMaximizedKeepsTheNormalRectangle) {
  HWND window = CreateTestMainWindow();
  ASSERT_NE(window, nullptr);
  AppConfig saved = g_app.config;
  ShowWindow(window, SW_SHOWNORMAL);
  SetWindowPos(window, nullptr, 120, 90, 500, 320, SWP_NOZORDER | SWP_NOACTIVATE);
  SaveWindowPlacement();
  RECT r{};
  GetWindowRect(window, &r);
  EXPECT_EQ(g_app.config.WindowLeft, r.left);
  EXPECT_EQ(g_app.config.WindowTop, r.top);
  EXPECT_EQ(g_app.config.WindowWidth, r.right - r.left);
  EXPECT_EQ(g_app.config.WindowHeight, r.bottom - r.top);
  EXPECT_FALSE(g_app.config.WindowMaximized);

  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  ASSERT_TRUE(GetWindowPlacement(window, &placement));
  placement.showCmd = SW_SHOWMAXIMIZED;
  ASSERT_TRUE(SetWindowPlacement(window, &placement));
  SaveWindowPlacement();
  EXPECT_TRUE(g_app.config.WindowMaximized);
  // The normal rectangle, back in screen pixels (workspace offset added back).
  HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
  MONITORINFO info{};
  info.cbSize = sizeof info;
  ASSERT_TRUE(GetMonitorInfoW(monitor, &info));
  EXPECT_EQ(g_app.config.WindowLeft,
            placement.rcNormalPosition.left + (info.rcWork.left - info.rcMonitor.left));
  EXPECT_EQ(g_app.config.WindowTop,
            placement.rcNormalPosition.top + (info.rcWork.top - info.rcMonitor.top));
  EXPECT_EQ(g_app.config.WindowWidth,
            placement.rcNormalPosition.right - placement.rcNormalPosition.left);

  g_app.config = saved;
  DestroyTestMainWindow(window);
}
