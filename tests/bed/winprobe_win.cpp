// winprobe: looks at and pokes the windows of programs running in the same Wine
// prefix (the GUI test bed's eyes and hands). Output is UTF-8, one record per
// line, fields separated by TAB; tabs, line feeds and backslashes inside texts
// are written as \t, \n and \\.
//
//   winprobe list                       top-level windows and their controls
//   winprobe move HWND X Y W H          SetWindowPos (screen pixels)
//   winprobe close HWND                 post WM_CLOSE
//   winprobe command HWND ID [COUNT]    post WM_COMMAND(ID) as from a menu, COUNT times
//   winprobe click HWND ID              post BN_CLICKED of control ID to HWND
//   winprobe settext HWND ID TEXT       set the text of control ID (ID 0: HWND)
//   winprobe lbitems HWND ID            the lines of list box ID
//   winprobe lbselect HWND ID INDEX     select a list line and notify the owner
//   winprobe proc PID                   one line "proc PID PRIVATE COMMIT WORKINGSET
//                                       PEAKWORKINGSET HANDLES THREADS GDI USER" as the
//                                       system counts them (bytes; -1 where a query failed)
//   winprobe capture HWND               the window holding the mouse capture in
//                                       HWND's thread (hex, 0 for none)
//   winprobe show HWND CMD              ShowWindow(HWND, CMD), e.g. 6 minimize, 9 restore
//
// HWND is a hexadecimal handle as printed by list, PID the decimal process id
// it prints. Exit code 0 on success, 2 on bad arguments, 3 when the window,
// control or process does not exist.
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "config/wide_text_win.h"

namespace {

void Out(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

std::string Escaped(const std::wstring& text) {
  std::string utf8 = Narrow(text);
  std::string out;
  for (char c : utf8) {
    if (c == '\t')
      out += "\\t";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\\')
      out += "\\\\";
    else
      out += c;
  }
  return out;
}

std::string Hex(const void* handle) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
  return buffer;
}

std::wstring TextOf(HWND window) {
  wchar_t buffer[2048];
  DWORD_PTR length = 0;
  buffer[0] = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buffer),
                           SMTO_ABORTIFHUNG, 2000, &length)) {
    return L"";
  }
  buffer[2047] = 0;
  return buffer;
}

std::wstring ClassOf(HWND window) {
  wchar_t buffer[256];
  int n = GetClassNameW(window, buffer, 256);
  return std::wstring(buffer, n > 0 ? n : 0);
}

std::string RectText(const RECT& r) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%ld,%ld,%ld,%ld", static_cast<long>(r.left),
                static_cast<long>(r.top), static_cast<long>(r.right), static_cast<long>(r.bottom));
  return buffer;
}

BOOL CALLBACK ListChild(HWND child, LPARAM) {
  RECT r{};
  GetWindowRect(child, &r);
  char head[128];
  std::snprintf(head, sizeof head, "child\t%s\t%d\t", Hex(child).c_str(), GetDlgCtrlID(child));
  char style[64];
  std::snprintf(style, sizeof style, "\t%08lx\t%d\t%d\t",
                static_cast<unsigned long>(GetWindowLongW(child, GWL_STYLE)),
                IsWindowVisible(child) ? 1 : 0, IsWindowEnabled(child) ? 1 : 0);
  Out(std::string(head) + Escaped(ClassOf(child)) + style + RectText(r) + "\t" +
      Escaped(TextOf(child)) + "\n");
  return TRUE;
}

BOOL CALLBACK ListTop(HWND window, LPARAM) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  RECT r{}, c{};
  GetWindowRect(window, &r);
  GetClientRect(window, &c);
  char head[160];
  std::snprintf(head, sizeof head, "window\t%s\t%lu\t", Hex(window).c_str(),
                static_cast<unsigned long>(pid));
  char mid[160];
  std::snprintf(mid, sizeof mid, "\t%08lx\t%08lx\t%d\t%s\t%ldx%ld\t%s\t",
                static_cast<unsigned long>(GetWindowLongW(window, GWL_STYLE)),
                static_cast<unsigned long>(GetWindowLongW(window, GWL_EXSTYLE)),
                IsWindowVisible(window) ? 1 : 0, RectText(r).c_str(), static_cast<long>(c.right),
                static_cast<long>(c.bottom), Hex(GetWindow(window, GW_OWNER)).c_str());
  Out(std::string(head) + Escaped(ClassOf(window)) + mid + Escaped(TextOf(window)) + "\n");
  EnumChildWindows(window, ListChild, 0);
  return TRUE;
}

// The process's memory, handle and thread counts from outside, as a task
// manager sees them. Each figure is -1 when its query fails.
int PrintProcess(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (!process) return 3;
  long long privateBytes = -1, commit = -1, workingSet = -1, peakWorkingSet = -1;
  long long handles = -1, threads = -1;
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                           sizeof memory)) {
    privateBytes = static_cast<long long>(memory.PrivateUsage);
    commit = static_cast<long long>(memory.PagefileUsage);
    workingSet = static_cast<long long>(memory.WorkingSetSize);
    peakWorkingSet = static_cast<long long>(memory.PeakWorkingSetSize);
  }
  DWORD handleCount = 0;
  if (GetProcessHandleCount(process, &handleCount)) handles = handleCount;
  long long gdi = static_cast<long long>(GetGuiResources(process, GR_GDIOBJECTS));
  long long user = static_cast<long long>(GetGuiResources(process, GR_USEROBJECTS));
  CloseHandle(process);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    threads = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
      if (entry.th32OwnerProcessID == pid) ++threads;
    }
    CloseHandle(snapshot);
  }
  char line[256];
  std::snprintf(line, sizeof line, "proc\t%lu\t%lld\t%lld\t%lld\t%lld\t%lld\t%lld\t%lld\t%lld\n",
                static_cast<unsigned long>(pid), privateBytes, commit, workingSet, peakWorkingSet,
                handles, threads, gdi, user);
  Out(line);
  return 0;
}

HWND ParseWindow(const wchar_t* text) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(wcstoull(text, nullptr, 16)));
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 2) return 2;
  std::wstring verb = argv[1];
  if (verb == L"list") {
    EnumWindows(ListTop, 0);
    return 0;
  }
  if (argc < 3) return 2;
  if (verb == L"proc") return PrintProcess(static_cast<DWORD>(wcstoul(argv[2], nullptr, 10)));
  HWND window = ParseWindow(argv[2]);
  if (!IsWindow(window)) return 3;
  if (verb == L"move" && argc >= 7) {
    return SetWindowPos(window, nullptr, _wtoi(argv[3]), _wtoi(argv[4]), _wtoi(argv[5]),
                        _wtoi(argv[6]), SWP_NOZORDER | SWP_NOACTIVATE)
               ? 0
               : 3;
  }
  if (verb == L"close") return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 3;
  if (verb == L"capture") {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return 3;
    Out(Hex(info.hwndCapture) + "\n");
    return 0;
  }
  if (verb == L"show" && argc >= 4) {
    ShowWindow(window, _wtoi(argv[3]));  // returns the previous visibility, not success
    return 0;
  }
  if (argc < 4) return 2;
  int id = _wtoi(argv[3]);
  if (verb == L"command") {
    int count = argc >= 5 ? _wtoi(argv[4]) : 1;
    for (int i = 0; i < count; ++i) {
      if (!PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, 0), 0)) return 3;
    }
    return 0;
  }
  HWND control = id == 0 ? window : GetDlgItem(window, id);
  if (!control) return 3;
  if (verb == L"click") {
    return PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                        reinterpret_cast<LPARAM>(control))
               ? 0
               : 3;
  }
  if (verb == L"settext" && argc >= 5) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[4]),
                               SMTO_ABORTIFHUNG, 5000, &result)
               ? 0
               : 3;
  }
  if (verb == L"lbitems") {
    DWORD_PTR count = 0;
    SendMessageTimeoutW(control, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 2000, &count);
    for (DWORD_PTR i = 0; i < count && i < 1000; ++i) {
      wchar_t line[4096] = {0};
      DWORD_PTR length = 0;
      if (!SendMessageTimeoutW(control, LB_GETTEXTLEN, i, 0, SMTO_ABORTIFHUNG, 2000, &length) ||
          length >= 4096) {
        continue;
      }
      SendMessageTimeoutW(control, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line), SMTO_ABORTIFHUNG,
                          2000, &length);
      Out(Escaped(line) + "\n");
    }
    return 0;
  }
  if (verb == L"lbselect" && argc >= 5) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(control, LB_SETCURSEL, static_cast<WPARAM>(_wtoi(argv[4])), 0,
                        SMTO_ABORTIFHUNG, 2000, &result);
    return PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, LBN_SELCHANGE),
                        reinterpret_cast<LPARAM>(control))
               ? 0
               : 3;
  }
  return 2;
}
