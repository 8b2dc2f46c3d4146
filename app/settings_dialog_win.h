#pragma once
// The Settings dialog (template 101): edits a copy of the camera list; OK
// applies it, saves and rebuilds the tiles.
#include <windows.h>

#include <vector>

#include "config/app_config.h"

// Control identifiers of template 101.
enum : int {
  kIdSettingsHint = 1001,
  kIdCameraList = 1002,
  kIdCameraName = 1003,
  kIdCameraUrl = 1004,
  kIdAddCamera = 1005,
  kIdUpdateCamera = 1006,
  kIdRemoveCamera = 1007,
  kIdDiscoverCameras = 1008,
  kIdCameraSubUrl = 1009,
};
inline constexpr int kSettingsDialogId = 101;

void OpenSettings();
INT_PTR CALLBACK SettingsDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Refills list box 1002 from the working list.
void FillCameraList(HWND dialog, const std::vector<CameraEntry>& list);
