#include "config/app_config.h"

#include <cmath>
#include <utility>

#include "config/json.h"
#include "config/number_text.h"

namespace {

// Window sizes and positions beyond this many pixels are not a real placement.
constexpr double kWindowLimit = 100000.0;

CameraEntry ReadCamera(const JsonValue& element) {
  CameraEntry entry;
  if (element.kind != JsonKind::Object) return entry;
  entry.Name = GetString(element, "Name", "");
  entry.Url = GetString(element, "Url", "");
  entry.SubUrl = GetString(element, "SubUrl", "");
  const double zoom = GetNumber(element, "Zoom", 1.0);
  if (std::isfinite(zoom) && zoom >= 1.0) entry.Zoom = zoom;
  const double panX = GetNumber(element, "PanX", 0.5);
  const double panY = GetNumber(element, "PanY", 0.5);
  if (std::isfinite(panX)) entry.PanX = std::fmin(std::fmax(panX, 0.0), 1.0);
  if (std::isfinite(panY)) entry.PanY = std::fmin(std::fmax(panY, 0.0), 1.0);
  return entry;
}

// A size that is not a number of pixels a window could have counts as missing.
double ReadWindowSize(const JsonValue& root, std::string_view key, double fallback) {
  const double value = GetNumber(root, key, fallback);
  return std::isfinite(value) && value >= 0.0 && value <= kWindowLimit ? value : fallback;
}

// NaN (never placed) is kept; an infinite or absurd position also means never placed.
double ReadWindowPosition(const JsonValue& root, std::string_view key, double fallback) {
  const double value = GetNumber(root, key, fallback);
  return std::isnan(value) || std::fabs(value) <= kWindowLimit ? value : fallback;
}

void AppendString(std::string& out, std::string_view key, std::string_view value) {
  out += "  \"";
  out += key;
  out += "\": \"";
  out += EscapeJsonString(value);
  out += "\",\n";
}

const char* BoolText(bool value) {
  return value ? "true" : "false";
}

}  // namespace

bool IsCertFingerprint(std::string_view text) {
  if (text.size() != 64) return false;
  for (const char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

AppConfig ReadConfigText(std::string_view text) {
  AppConfig config;
  JsonValue root;
  if (!ParseJson(text, root) || root.kind != JsonKind::Object) return AppConfig();

  const JsonValue* cameras = FindMember(root, "Cameras");
  if (cameras && cameras->kind == JsonKind::Array) {
    for (const JsonValue& element : cameras->items) {
      CameraEntry entry = ReadCamera(element);
      if (!entry.Url.empty()) config.Cameras.push_back(std::move(entry));
    }
  }
  config.SelectedCamera = GetString(root, "SelectedCamera", "");
  config.ConsoleHost = GetString(root, "ConsoleHost", "");
  config.ConsoleUser = GetString(root, "ConsoleUser", "");
  config.ConsolePassEnc = GetString(root, "ConsolePassEnc", "");
  // A pin that is not a fingerprint pins nothing.
  std::string pin = GetString(root, "ConsoleCertSha256", "");
  if (IsCertFingerprint(pin)) config.ConsoleCertSha256 = std::move(pin);
  config.Muted = GetBool(root, "Muted", config.Muted);
  config.AlwaysOnTop = GetBool(root, "AlwaysOnTop", config.AlwaysOnTop);
  config.WindowMaximized = GetBool(root, "WindowMaximized", config.WindowMaximized);
  config.WindowLeft = ReadWindowPosition(root, "WindowLeft", config.WindowLeft);
  config.WindowTop = ReadWindowPosition(root, "WindowTop", config.WindowTop);
  config.WindowWidth = ReadWindowSize(root, "WindowWidth", config.WindowWidth);
  config.WindowHeight = ReadWindowSize(root, "WindowHeight", config.WindowHeight);
  // A missing or unknown layout is the stage and strip.
  config.GridLayout = GetString(root, "ViewLayout", "") == "Grid";
  return config;
}

std::string WriteConfigText(const AppConfig& config) {
  std::string out = "{\n  \"Cameras\": [\n";
  for (size_t i = 0; i < config.Cameras.size(); ++i) {
    const CameraEntry& camera = config.Cameras[i];
    out += "    { \"Name\": \"" + EscapeJsonString(camera.Name) + "\", \"Url\": \"" +
           EscapeJsonString(camera.Url) + "\"";
    // Only where there is one, so that a file without sub streams stays as it was.
    if (!camera.SubUrl.empty()) out += ", \"SubUrl\": \"" + EscapeJsonString(camera.SubUrl) + "\"";
    out += ", \"Zoom\": " + FormatNumberShort(camera.Zoom);
    out += ", \"PanX\": " + FormatNumberShort(camera.PanX);
    out += ", \"PanY\": " + FormatNumberShort(camera.PanY);
    out += i + 1 < config.Cameras.size() ? " },\n" : " }\n";
  }
  out += "  ],\n";
  AppendString(out, "SelectedCamera", config.SelectedCamera);
  AppendString(out, "ConsoleHost", config.ConsoleHost);
  AppendString(out, "ConsoleUser", config.ConsoleUser);
  AppendString(out, "ConsolePassEnc", config.ConsolePassEnc);
  AppendString(out, "ConsoleCertSha256", config.ConsoleCertSha256);
  out += std::string("  \"Muted\": ") + BoolText(config.Muted) + ",\n";
  out += std::string("  \"AlwaysOnTop\": ") + BoolText(config.AlwaysOnTop) + ",\n";
  out += std::string("  \"WindowMaximized\": ") + BoolText(config.WindowMaximized) + ",\n";
  out += "  \"WindowLeft\": " + FormatNumberShort(config.WindowLeft) + ",\n";
  out += "  \"WindowTop\": " + FormatNumberShort(config.WindowTop) + ",\n";
  out += "  \"WindowWidth\": " + FormatNumberShort(config.WindowWidth) + ",\n";
  out += "  \"WindowHeight\": " + FormatNumberShort(config.WindowHeight);
  // Only for the grid, so that a file of someone who never used it stays as it was.
  if (config.GridLayout) out += ",\n  \"ViewLayout\": \"Grid\"";
  out += "\n}\n";
  return out;
}
