#pragma once
// The persisted settings of the viewer and the text form of config.json.
#include <limits>
#include <string>
#include <string_view>
#include <vector>

struct CameraEntry {
  std::string Name;   // display name, UTF-8
  std::string Url;    // stream address as stored (rtsps:// or rtsp://)
  double Zoom = 1.0;  // at least 1.0
  double PanX = 0.5;  // 0.0 .. 1.0
  double PanY = 0.5;  // 0.0 .. 1.0
  // The same camera's low-resolution stream, for thumbnails (UTF-8, stored
  // right after Url, only when not empty); empty: none.
  std::string SubUrl;
};

struct AppConfig {
  std::vector<CameraEntry> Cameras;
  std::string SelectedCamera;
  std::string ConsoleHost;
  std::string ConsoleUser;
  std::string ConsolePassEnc;  // protected password, Base64
  // SHA-256 of the console's TLS certificate (DER) as 64 lowercase hex digits,
  // trusted at the first successful discovery of ConsoleHost; empty: nothing pinned.
  std::string ConsoleCertSha256;
  bool Muted = false;
  bool AlwaysOnTop = false;
  bool WindowMaximized = false;
  double WindowLeft = std::numeric_limits<double>::quiet_NaN();  // NaN: never placed
  double WindowTop = std::numeric_limits<double>::quiet_NaN();
  double WindowWidth = 520.0;
  double WindowHeight = 330.0;
  // Every camera in an equal tile instead of the stage and strip; stored as
  // "ViewLayout": "Grid", and only then.
  bool GridLayout = false;
};

// Whether text is a certificate fingerprint as stored: 64 lowercase hex digits.
bool IsCertFingerprint(std::string_view text);

// Reads the settings from the text of config.json. Never fails: anything that
// cannot be read keeps its default; a text that is not a JSON object gives the
// complete defaults.
AppConfig ReadConfigText(std::string_view text);
// The whole text of config.json (LF line ends, fixed key order).
std::string WriteConfigText(const AppConfig& config);
