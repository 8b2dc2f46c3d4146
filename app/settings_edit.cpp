#include "app/settings_edit.h"

namespace {
const char kDefaultName[] = "Camera";
}

std::string CameraListLine(const CameraEntry& entry) {
  std::string line = entry.Name.empty() ? kDefaultName : entry.Name;
  line += "  \xE2\x80\x94  ";  // two spaces, em dash, two spaces
  line += entry.Url;
  if (!entry.SubUrl.empty()) line += "  (+ thumbnail address)";
  return line;
}

bool AddCamera(std::vector<CameraEntry>& list, const std::string& name, const std::string& url,
               const std::string& subUrl) {
  if (url.empty()) return false;
  CameraEntry entry;
  entry.Name = name.empty() ? kDefaultName : name;
  entry.Url = url;
  entry.SubUrl = subUrl;
  entry.Zoom = 1.0;
  entry.PanX = 0.5;
  entry.PanY = 0.5;
  list.push_back(std::move(entry));
  return true;
}

bool UpdateCamera(std::vector<CameraEntry>& list, int sel, const std::string& name,
                  const std::string& url, const std::string& subUrl) {
  if (sel < 0 || static_cast<size_t>(sel) >= list.size() || url.empty()) return false;
  list[sel].Name = name.empty() ? kDefaultName : name;
  list[sel].Url = url;
  list[sel].SubUrl = subUrl;
  return true;
}

bool RemoveCamera(std::vector<CameraEntry>& list, int sel) {
  if (sel < 0 || static_cast<size_t>(sel) >= list.size()) return false;
  list.erase(list.begin() + sel);
  return true;
}
