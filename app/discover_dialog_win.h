#pragma once
// The Discover dialog (template 102): signs in to the UniFi console, fetches the
// camera list and turns it into the working camera list.
#include <windows.h>

// File > Discover from Console (command 5): runs the dialog over a copy of
// config.Cameras; on success applies it, saves and rebuilds the tiles.
void OpenDiscover();

// Dialog procedure; lParam of WM_INITDIALOG is the address of the working list
// (std::vector<CameraEntry>), which a successful discovery replaces.
INT_PTR CALLBACK DiscoverDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
