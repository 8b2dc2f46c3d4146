#pragma once
// The edits of the Settings dialog on its working camera list, and the text of
// one list line. Texts are UTF-8.
#include <string>
#include <vector>

#include "config/app_config.h"

// "<name or Camera>  —  <url>", and "  (+ thumbnail address)" when the entry
// has a sub stream address.
std::string CameraListLine(const CameraEntry& entry);

// Appends (name or "Camera", url, subUrl) with zoom 1 and centred pan. Nothing
// when url is empty. Returns whether the list changed.
bool AddCamera(std::vector<CameraEntry>& list, const std::string& name, const std::string& url,
               const std::string& subUrl = std::string());
// Replaces name, url and sub stream address (empty: none) of entry `sel`,
// keeping its zoom and pan. Nothing when sel is out of range or url is empty.
bool UpdateCamera(std::vector<CameraEntry>& list, int sel, const std::string& name,
                  const std::string& url, const std::string& subUrl);
// Erases entry `sel` when it exists.
bool RemoveCamera(std::vector<CameraEntry>& list, int sel);
