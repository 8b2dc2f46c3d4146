#include "app/discover_dialog_win.h"

#include <string>
#include <utility>
#include <vector>

#include "app/app_state.h"
#include "app/slots_win.h"
#include "config/config_file_win.h"
#include "config/password_win.h"
#include "config/wide_text_win.h"
#include "console/discovery.h"

namespace {

constexpr int kDiscoverDialogId = 102;
enum : int {
  kIdConsoleHost = 1020,
  kIdConsoleUser = 1021,
  kIdConsolePassword = 1022,
  kIdEnableRtsp = 1023,
  kIdStatus = 1024,
  kIdDiscover = 1025,
  kIdSubStreams = 1026,
};
// The usual default-gateway address of a home network.
constexpr char kDefaultConsoleHost[] = "192.168.1.1";
constexpr int kFieldChars = 1024;

// The certificate the last press was refused for, kept while the dialog is open:
// pressing Discover again for the same host accepts it.
CertOffer g_certOffer;

std::vector<CameraEntry>* WorkingList(HWND dialog) {
  return reinterpret_cast<std::vector<CameraEntry>*>(GetWindowLongPtrW(dialog, GWLP_USERDATA));
}

// At most 1023 characters, as UTF-8, untrimmed.
std::string FieldText(HWND dialog, int id) {
  wchar_t buffer[kFieldChars];
  buffer[0] = L'\0';
  const UINT n = GetDlgItemTextW(dialog, id, buffer, kFieldChars);
  std::string text = Narrow(std::wstring_view(buffer, n < kFieldChars ? n : kFieldChars - 1));
  SecureZeroMemory(buffer, sizeof buffer);  // the password field passes through here
  return text;
}

void SetField(HWND dialog, int id, const std::string& text) {
  SetDlgItemTextW(dialog, id, Widen(text).c_str());
}

void SetStatus(HWND dialog, const std::wstring& text) {
  SetDlgItemTextW(dialog, kIdStatus, text.c_str());
}

// Keyboard and mouse input that queued up while the dialog was blocked was
// aimed at a dialog that could not react; acting on it now would surprise.
void DropQueuedInput() {
  MSG message;
  while (PeekMessageW(&message, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {}
  while (PeekMessageW(&message, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {}
  while (PeekMessageW(&message, nullptr, WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK, PM_REMOVE)) {}
}

void InitDialog(HWND dialog) {
  const AppConfig& config = g_app.config;
  SetField(dialog, kIdConsoleHost,
           config.ConsoleHost.empty() ? kDefaultConsoleHost : config.ConsoleHost);
  SetField(dialog, kIdConsoleUser, config.ConsoleUser);
  std::string password = UnprotectPassword(config.ConsolePassEnc);
  SetField(dialog, kIdConsolePassword, password);
  SecureZeroMemory(password.data(), password.size());
  CheckDlgButton(dialog, kIdEnableRtsp, BST_CHECKED);
  CheckDlgButton(dialog, kIdSubStreams, BST_CHECKED);
  g_certOffer = CertOffer();
}

void Discover(HWND dialog, std::vector<CameraEntry>& working) {
  const std::string host = FieldText(dialog, kIdConsoleHost);
  const std::string user = FieldText(dialog, kIdConsoleUser);
  std::string password = FieldText(dialog, kIdConsolePassword);
  const bool enableRtsp = IsDlgButtonChecked(dialog, kIdEnableRtsp) == BST_CHECKED;
  const bool subStreams = IsDlgButtonChecked(dialog, kIdSubStreams) == BST_CHECKED;
  if (host.empty() || user.empty() || password.empty()) {
    SetStatus(dialog, L"Enter host, username, and password.");
    return;
  }

  // Busy: the request blocks this thread, so show it before blocking.
  HWND button = GetDlgItem(dialog, kIdDiscover);
  SetStatus(dialog, L"Connecting to console\u2026");
  EnableWindow(button, FALSE);
  HCURSOR previousCursor = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  UpdateWindow(dialog);
  RedrawWindow(dialog, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);

  const AppConfig& stored = g_app.config;
  const CertPolicy certificate =
      CertPolicyFor(stored.ConsoleHost, stored.ConsoleCertSha256, g_certOffer, host);
  const DiscoveryResult result =
      DiscoverCameras(host, user, password, enableRtsp, certificate, subStreams);
  // Only the press right after a refusal may accept the refused certificate.
  g_certOffer = result.certificateRefused ? CertOffer{host, result.certificateSha256} : CertOffer();

  DropQueuedInput();
  SetCursor(previousCursor);
  EnableWindow(button, TRUE);

  if (!result.ok) {
    SecureZeroMemory(password.data(), password.size());
    SetStatus(dialog, L"Failed: " + Widen(result.error));
    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE);
    return;
  }
  AppConfig& config = g_app.config;
  config.ConsoleHost = host;
  config.ConsoleUser = user;
  config.ConsolePassEnc = ProtectPassword(password);
  config.ConsoleCertSha256 = result.certificateSha256;
  SecureZeroMemory(password.data(), password.size());
  ApplyDiscoveredCameras(working, result.cameras, config.ConsoleHost, subStreams);
  // The console fields are kept at once; the cameras reach config.Cameras
  // through the opener.
  SaveConfig(config);
  EndDialog(dialog, 1);
}

}  // namespace

INT_PTR CALLBACK DiscoverDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(dialog, GWLP_USERDATA, lParam);
    InitDialog(dialog);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  switch (LOWORD(wParam)) {
    case IDCANCEL: EndDialog(dialog, 0); return TRUE;
    case kIdDiscover:
      if (std::vector<CameraEntry>* working = WorkingList(dialog)) Discover(dialog, *working);
      return TRUE;
    default: return FALSE;
  }
}

void OpenDiscover() {
  std::vector<CameraEntry> working = g_app.config.Cameras;
  const INT_PTR result =
      DialogBoxParamW(g_app.instance, MAKEINTRESOURCEW(kDiscoverDialogId), g_app.mainWindow,
                      DiscoverDlgProc, reinterpret_cast<LPARAM>(&working));
  if (result != 1) return;
  g_app.config.Cameras = std::move(working);
  SaveConfig(g_app.config);
  BuildSlots();
}
