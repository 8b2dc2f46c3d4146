#pragma once
// The edits of the Settings dialog on its working camera list, and the text of
// one list line. Texts are UTF-8.
#include <string>
#include <vector>

#include "config/app_config.h"

// "<name or Camera>  —  <url>".
std::string CameraListLine(const CameraEntry& entry);

// Appends (name or "Camera", url) with zoom 1 and centred pan. Nothing when url
// is empty. Returns whether the list changed.
bool AddCamera(std::vector<CameraEntry>& list, const std::string& name, const std::string& url);
// Replaces name and url of entry `sel`, keeping its zoom and pan. Nothing when
// sel is out of range or url is empty.
bool UpdateCamera(std::vector<CameraEntry>& list, int sel, const std::string& name,
                  const std::string& url);
// Erases entry `sel` when it exists.
bool RemoveCamera(std::vector<CameraEntry>& list, int sel);
