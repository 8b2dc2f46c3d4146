#include "config/config_file_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

// A fresh folder under the temporary folder, removed with its files at the end.
class TempFolder {
 public:
  TempFolder() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    path_ = std::wstring(base) + L"tavik-config-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount64());
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~TempFolder() {
    for (const std::wstring& name : Names()) {
      const std::wstring full = path_ + L"\\" + name;
      SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!DeleteFileW(full.c_str())) RemoveDirectoryW(full.c_str());
    }
    RemoveDirectoryW(path_.c_str());
  }
  std::wstring File(const wchar_t* name) const { return path_ + L"\\" + name; }
  std::vector<std::wstring> Names() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path_ + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      const std::wstring name = data.cFileName;
      if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
  }

 private:
  std::wstring path_;
};

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD wrote = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr);
  CloseHandle(file);
}

std::string ReadFileBytes(const std::wstring& path) {
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes(1 << 16, '\0');
  DWORD got = 0;
  ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  CloseHandle(file);
  bytes.resize(got);
  return bytes;
}

AppConfig Sample() {
  AppConfig c;
  c.Cameras.push_back({"Porch", "rtsps://10.0.0.1:7441/abc?enableSrtp", 2.5, 0.25, 0.75});
  c.SelectedCamera = "Porch";
  c.Muted = true;
  c.WindowLeft = 100;
  c.WindowTop = -20;
  return c;
}

}  // namespace

TEST(ConfigFileWin, PathsLieInRoamingAppData) {
  const std::wstring legacy = AppDataSubfolder(L"Glintframe");
  ASSERT_FALSE(legacy.empty());
  EXPECT_EQ(legacy.substr(legacy.size() - 11), L"\\Glintframe");
  const std::wstring path = ConfigFilePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.substr(path.size() - 18), L"\\Tavik\\config.json");
  EXPECT_EQ(path.substr(0, legacy.size() - 10), legacy.substr(0, legacy.size() - 10));
  const DWORD folder = GetFileAttributesW(path.substr(0, path.size() - 12).c_str());
  EXPECT_NE(folder, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(folder & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(ConfigFileWin, SaveWritesTheTextAndLoadReadsItBack) {
  TempFolder dir;
  const std::wstring path = dir.File(L"config.json");
  EXPECT_TRUE(std::isnan(LoadConfigFile(path).WindowLeft));  // no file yet: defaults

  ASSERT_TRUE(SaveConfigFile(path, Sample()));
  EXPECT_EQ(ReadFileBytes(path), WriteConfigText(Sample()));  // binary: LF line ends, no CR
  const AppConfig back = LoadConfigFile(path);
  ASSERT_EQ(back.Cameras.size(), 1u);
  EXPECT_EQ(back.Cameras[0].Zoom, 2.5);
  EXPECT_TRUE(back.Muted);
  EXPECT_EQ(back.WindowTop, -20.0);

  AppConfig second = Sample();
  second.Cameras.clear();
  ASSERT_TRUE(SaveConfigFile(path, second));
  EXPECT_TRUE(LoadConfigFile(path).Cameras.empty());
  EXPECT_EQ(dir.Names(),
            std::vector<std::wstring>{L"config.json"});  // no temporary file left behind
  EXPECT_FALSE(SaveConfigFile(L"", second));
}

TEST(ConfigFileWin, FailedSaveKeepsTheOldFileAndRemovesTheTemporary) {
  TempFolder dir;
  const std::wstring path = dir.File(L"config.json");
  ASSERT_TRUE(SaveConfigFile(path, Sample()));
  const std::string before = ReadFileBytes(path);

  // The file is held open without delete sharing, so it cannot be replaced.
  HANDLE held =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(SaveConfigFile(path, AppConfig()));
  CloseHandle(held);
  EXPECT_EQ(ReadFileBytes(path), before);
  EXPECT_EQ(dir.Names(), std::vector<std::wstring>{L"config.json"});

  // A folder where the file should be: nothing is written over it.
  const std::wstring folder = dir.File(L"folder.json");
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  EXPECT_FALSE(SaveConfigFile(folder, Sample()));
  EXPECT_TRUE(GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(dir.Names().size(), 2u);

  // A folder that does not exist: nothing is created.
  EXPECT_FALSE(SaveConfigFile(dir.File(L"missing\\config.json"), Sample()));
}

TEST(ConfigFileWin, ReadOnlyFileOrBlockedTemporaryKeepsTheOldFile) {
  TempFolder dir;
  const std::wstring path = dir.File(L"config.json");
  ASSERT_TRUE(SaveConfigFile(path, Sample()));
  const std::string before = ReadFileBytes(path);

  // The user marked the file read-only: it is neither replaced nor unmarked.
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(SaveConfigFile(path, AppConfig()));
  EXPECT_EQ(ReadFileBytes(path), before);
  EXPECT_TRUE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(dir.Names(), std::vector<std::wstring>{L"config.json"});
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL));

  // Nothing can be created beside the file (a folder holds the temporary name).
  const std::wstring temp = dir.File(L"config.json.tmp");
  ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
  EXPECT_FALSE(SaveConfigFile(path, AppConfig()));
  EXPECT_EQ(ReadFileBytes(path), before);
  EXPECT_TRUE(GetFileAttributesW(temp.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_TRUE(RemoveDirectoryW(temp.c_str()));

  // Once the obstacle is gone the next save goes through.
  ASSERT_TRUE(SaveConfigFile(path, AppConfig()));
  EXPECT_FALSE(LoadConfigFile(path).Muted);
  EXPECT_EQ(dir.Names(), std::vector<std::wstring>{L"config.json"});
}

TEST(ConfigFileWin, LeftoverOfAnInterruptedSaveIsReusedNotAccumulated) {
  TempFolder dir;
  const std::wstring path = dir.File(L"config.json");
  ASSERT_TRUE(SaveConfigFile(path, Sample()));
  // A save killed half-way leaves a partial temporary file; loading ignores it
  // and the next save writes over it and moves it into place.
  WriteFileBytes(dir.File(L"config.json.tmp"), "{\"Cameras\": [ { \"Na");
  EXPECT_TRUE(LoadConfigFile(path).Muted);
  AppConfig next = Sample();
  next.Muted = false;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(SaveConfigFile(path, next));
    EXPECT_EQ(ReadFileBytes(path), WriteConfigText(next));
    EXPECT_EQ(dir.Names(), std::vector<std::wstring>{L"config.json"});
  }
}

TEST(ConfigFileWin, SaveWhileAnotherIsWritingTheTemporaryFailsCleanly) {
  TempFolder dir;
  const std::wstring path = dir.File(L"config.json");
  ASSERT_TRUE(SaveConfigFile(path, Sample()));
  const std::string before = ReadFileBytes(path);
  // A second instance in the middle of its save holds the temporary file open
  // for writing: this save neither truncates nor moves nor deletes it.
  const std::wstring temp = dir.File(L"config.json.tmp");
  HANDLE other = CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  DWORD wrote = 0;
  ASSERT_TRUE(WriteFile(other, "{\"Mu", 4, &wrote, nullptr));
  EXPECT_FALSE(SaveConfigFile(path, AppConfig()));
  EXPECT_EQ(ReadFileBytes(path), before);
  CloseHandle(other);
  EXPECT_EQ(ReadFileBytes(temp), "{\"Mu");
  ASSERT_TRUE(SaveConfigFile(path, AppConfig()));
  EXPECT_EQ(dir.Names(), std::vector<std::wstring>{L"config.json"});
}

TEST(ConfigFileWin, DamagedOrOversizedFilesLoadAsDefaults) {
  TempFolder dir;
  const std::wstring path = dir.File(L"config.json");
  WriteFileBytes(path, "{\"Muted\": true, \"Cameras\": [");
  EXPECT_FALSE(LoadConfigFile(path).Muted);
  WriteFileBytes(path, "");
  EXPECT_FALSE(LoadConfigFile(path).Muted);

  // A valid document followed by zero bytes, up to exactly the limit, then one byte more.
  const LONGLONG limit = 16LL * 1024 * 1024;
  for (LONGLONG size : {limit, limit + 1}) {
    WriteFileBytes(path, "{\"Muted\": true}");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = size;
    ASSERT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file));
    CloseHandle(file);
    EXPECT_EQ(LoadConfigFile(path).Muted, size == limit) << size;
  }
}

TEST(ConfigFileWin, LegacySettingsAreCopiedOnlyWhenNoneExist) {
  TempFolder dir;
  const std::wstring legacy = dir.File(L"legacy.json");
  const std::wstring current = dir.File(L"config.json");
  MigrateLegacyConfigFile(legacy, current);  // neither exists
  EXPECT_EQ(ReadFileBytes(current), "<missing>");

  WriteFileBytes(legacy, "{\"Muted\": true}");
  MigrateLegacyConfigFile(legacy, current);
  EXPECT_TRUE(LoadConfigFile(current).Muted);
  EXPECT_EQ(ReadFileBytes(legacy), "{\"Muted\": true}");  // left in place

  WriteFileBytes(legacy, "{\"AlwaysOnTop\": true}");
  MigrateLegacyConfigFile(legacy, current);  // a configuration exists: ignored
  EXPECT_EQ(ReadFileBytes(current), "{\"Muted\": true}");
  MigrateLegacyConfigFile(legacy, L"");
}
