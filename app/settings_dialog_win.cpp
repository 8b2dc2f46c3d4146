#include "app/settings_dialog_win.h"

#include <string>

#include "app/app_state.h"
#include "app/discover_dialog_win.h"
#include "app/settings_edit.h"
#include "app/slots_win.h"
#include "config/config_file_win.h"
#include "config/wide_text_win.h"

namespace {

const int kDiscoverDialogId = 102;

std::vector<CameraEntry>* WorkingList(HWND dialog) {
  return reinterpret_cast<std::vector<CameraEntry>*>(GetWindowLongPtrW(dialog, GWLP_USERDATA));
}

std::string FieldText(HWND dialog, int id) {
  wchar_t buffer[1024];
  buffer[0] = 0;
  UINT n = GetDlgItemTextW(dialog, id, buffer, 1024);
  return Narrow(std::wstring_view(buffer, n < 1024 ? n : 1023));
}

int SelectedLine(HWND dialog) {
  return static_cast<int>(SendDlgItemMessageW(dialog, kIdCameraList, LB_GETCURSEL, 0, 0));
}

void OnCommand(HWND dialog, std::vector<CameraEntry>& list, int id, int notification) {
  switch (id) {
    case kIdCameraList:
      if (notification == LBN_SELCHANGE) {
        int sel = SelectedLine(dialog);
        if (sel >= 0 && static_cast<size_t>(sel) < list.size()) {
          SetDlgItemTextW(dialog, kIdCameraName, Widen(list[sel].Name).c_str());
          SetDlgItemTextW(dialog, kIdCameraUrl, Widen(list[sel].Url).c_str());
          SetDlgItemTextW(dialog, kIdCameraSubUrl, Widen(list[sel].SubUrl).c_str());
        }
      }
      break;
    case kIdAddCamera:
      if (AddCamera(list, FieldText(dialog, kIdCameraName), FieldText(dialog, kIdCameraUrl),
                    FieldText(dialog, kIdCameraSubUrl))) {
        FillCameraList(dialog, list);
      }
      break;
    case kIdUpdateCamera: {
      int sel = SelectedLine(dialog);
      if (UpdateCamera(list, sel, FieldText(dialog, kIdCameraName), FieldText(dialog, kIdCameraUrl),
                       FieldText(dialog, kIdCameraSubUrl))) {
        FillCameraList(dialog, list);
        SendDlgItemMessageW(dialog, kIdCameraList, LB_SETCURSEL, static_cast<WPARAM>(sel), 0);
      }
      break;
    }
    case kIdRemoveCamera:
      if (RemoveCamera(list, SelectedLine(dialog))) FillCameraList(dialog, list);
      break;
    case kIdDiscoverCameras:
      if (DialogBoxParamW(g_app.instance, MAKEINTRESOURCEW(kDiscoverDialogId), dialog,
                          DiscoverDlgProc, reinterpret_cast<LPARAM>(&list)) == 1) {
        FillCameraList(dialog, list);
      }
      break;
    default: break;
  }
}

}  // namespace

void FillCameraList(HWND dialog, const std::vector<CameraEntry>& list) {
  SendDlgItemMessageW(dialog, kIdCameraList, LB_RESETCONTENT, 0, 0);
  for (const CameraEntry& entry : list) {
    std::wstring line = Widen(CameraListLine(entry));
    SendDlgItemMessageW(dialog, kIdCameraList, LB_ADDSTRING, 0,
                        reinterpret_cast<LPARAM>(line.c_str()));
  }
}

INT_PTR CALLBACK SettingsDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(dialog, GWLP_USERDATA, lParam);
    std::vector<CameraEntry>* list = WorkingList(dialog);
    if (list) FillCameraList(dialog, *list);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  int id = LOWORD(wParam);
  if (id == IDOK) {
    EndDialog(dialog, 1);
    return TRUE;
  }
  if (id == IDCANCEL) {
    EndDialog(dialog, 0);
    return TRUE;
  }
  std::vector<CameraEntry>* list = WorkingList(dialog);
  if (!list) return FALSE;
  switch (id) {
    case kIdCameraList:
    case kIdAddCamera:
    case kIdUpdateCamera:
    case kIdRemoveCamera:
    case kIdDiscoverCameras: OnCommand(dialog, *list, id, HIWORD(wParam)); return TRUE;
    default: return FALSE;
  }
}

void OpenSettings() {
  std::vector<CameraEntry> working = g_app.config.Cameras;
  INT_PTR result =
      DialogBoxParamW(g_app.instance, MAKEINTRESOURCEW(kSettingsDialogId), g_app.mainWindow,
                      SettingsDlgProc, reinterpret_cast<LPARAM>(&working));
  if (result == 1) {
    g_app.config.Cameras = std::move(working);
    SaveConfig(g_app.config);
    BuildSlots();
  }
}
