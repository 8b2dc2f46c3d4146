#pragma once
// Location, migration, loading and saving of config.json in the roaming
// application-data folder.
#include <string>
#include <string_view>

#include "config/app_config.h"

// "<roaming AppData>\<name>", or empty when the known folder cannot be found.
std::wstring AppDataSubfolder(std::wstring_view name);
// "<roaming AppData>\Tavik\config.json" (the folder is created), or empty.
std::wstring ConfigFilePath();
// Copies the settings of the product's earlier name once, if none exist yet.
void MigrateLegacyConfig();
// Never fails: defaults for anything that cannot be read.
AppConfig LoadConfig();
// Rewrites the whole file; failures are silent.
void SaveConfig(const AppConfig& config);

// The same operations on explicit paths (used by the ones above).
void MigrateLegacyConfigFile(const std::wstring& legacyPath, const std::wstring& currentPath);
AppConfig LoadConfigFile(const std::wstring& path);
// Writes a temporary file beside `path` and moves it over `path`; on failure the
// old file stays untouched. Returns whether the new file is in place.
bool SaveConfigFile(const std::wstring& path, const AppConfig& config);
