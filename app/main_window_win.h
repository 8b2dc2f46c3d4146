#pragma once
// The main window: its procedure, menus and commands. UI thread only.
#include <windows.h>

// Command identifiers of the menu bar and the right-click menu.
enum : UINT {
  kCmdSettings = 1,
  kCmdReload = 2,
  kCmdAlwaysOnTop = 3,
  kCmdExit = 4,
  kCmdDiscover = 5,
  kCmdFullScreen = 6,
  kCmdMute = 7,
  kCmdAbout = 8,
  kCmdGrid = 9,
  kCmdCameraBase = 2000,  // + slot position
};

// Timer of the periodic scene refresh (500 ms).
inline constexpr UINT_PTR kRefreshTimerId = 51;
inline constexpr UINT kRefreshTimerMs = 500;

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void OnCommand(UINT id);
void SelectCamera(int p);
void FillCamerasMenu(HMENU menu);
// Copies the window's position, size and maximized state into config (screen
// pixels); does not write the file.
void SaveWindowPlacement();
// SaveConfig(config): writes config.json.
void SaveSettings();
// Applies config.AlwaysOnTop to the main window.
void ApplyAlwaysOnTop();

// The menu bar: File, View, Cameras, Help. Returns the bar and the View and
// Cameras popups.
HMENU CreateMainMenu(HMENU* viewMenu, HMENU* camerasMenu);
