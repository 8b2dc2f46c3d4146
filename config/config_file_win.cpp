#include "config/config_file_win.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <string>

namespace {

// A settings file larger than this is not ours; it loads as defaults instead of being read whole.
constexpr LONGLONG kMaxConfigBytes = 16LL * 1024 * 1024;

bool FileExists(const std::wstring& path) {
  return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool ReadWholeFile(const std::wstring& path, std::string& out) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart <= kMaxConfigBytes;
  if (ok) {
    out.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (ok && done < out.size()) {
      DWORD got = 0;
      ok =
          ReadFile(file, out.data() + done, static_cast<DWORD>(out.size() - done), &got, nullptr) &&
          got > 0;
      done += got;
    }
  }
  CloseHandle(file);
  return ok;
}

bool WriteWholeFile(HANDLE file, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    DWORD wrote = 0;
    if (!WriteFile(file, text.data() + done, static_cast<DWORD>(text.size() - done), &wrote,
                   nullptr) ||
        wrote == 0) {
      return false;
    }
    done += wrote;
  }
  return FlushFileBuffers(file) != FALSE;
}

}  // namespace

std::wstring AppDataSubfolder(std::wstring_view name) {
  PWSTR folder = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &folder);
  std::wstring result;
  if (SUCCEEDED(hr) && folder) {
    result = folder;
    result += L'\\';
    result += name;
  }
  CoTaskMemFree(folder);
  return result;
}

std::wstring ConfigFilePath() {
  std::wstring folder = AppDataSubfolder(L"Tavik");
  if (folder.empty()) return {};
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder + L"\\config.json";
}

void MigrateLegacyConfigFile(const std::wstring& legacyPath, const std::wstring& currentPath) {
  if (currentPath.empty() || FileExists(currentPath)) return;
  if (FileExists(legacyPath)) CopyFileW(legacyPath.c_str(), currentPath.c_str(), TRUE);
}

void MigrateLegacyConfig() {
  const std::wstring current = ConfigFilePath();
  if (current.empty() || FileExists(current)) return;
  const std::wstring legacyFolder = AppDataSubfolder(L"Glintframe");
  if (legacyFolder.empty()) return;
  MigrateLegacyConfigFile(legacyFolder + L"\\config.json", current);
}

AppConfig LoadConfigFile(const std::wstring& path) {
  std::string text;
  if (path.empty() || !ReadWholeFile(path, text)) return AppConfig();
  return ReadConfigText(text);
}

AppConfig LoadConfig() {
  return LoadConfigFile(ConfigFilePath());
}

bool SaveConfigFile(const std::wstring& path, const AppConfig& config) {
  if (path.empty()) return false;
  // A settings file marked read-only stays as it is, like one opened for writing
  // would; a move over it would replace the text and drop the mark on some systems.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return false;
  const std::string text = WriteConfigText(config);
  // The new text goes to a temporary file beside the old one and replaces it in one
  // move, so a crash or a full disk mid-save never leaves a truncated settings file.
  // The temporary name is fixed: a save cut short by a crash leaves at most this one
  // file, and the next save writes over it. While a save (of this or another
  // instance) has it open, it is shared for reading only, so no other save can
  // truncate, move or delete it half-written; that other save fails instead.
  const std::wstring temp = path + L".tmp";
  HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool written = WriteWholeFile(file, text);
  CloseHandle(file);
  if (written &&
      MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  DeleteFileW(temp.c_str());
  return false;
}

void SaveConfig(const AppConfig& config) {
  SaveConfigFile(ConfigFilePath(), config);
}
