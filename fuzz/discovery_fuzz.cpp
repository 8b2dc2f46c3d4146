// Camera discovery over a scripted console whose bootstrap and PATCH answers are
// fuzz input. Input: one byte of flags (bit 0 switch RTSP on, bit 1 bootstrap
// answers 500, bit 2 PATCH answers 500, bit 3 PATCH requests fail), then the
// bootstrap body, a 0xFF byte, and the body of every PATCH answer.
// Discovery must end with ok or one of its fixed messages, every PATCH must go
// to a percent-encoded camera path with a JSON object body, and the merged list
// must hold only console stream addresses.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "config/app_config.h"
#include "config/json.h"
#include "console/discovery.h"
#include "console/stream_url.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

class FuzzConsole final : public ConsoleTransport {
 public:
  std::string bootstrap;
  std::string patchAnswer;
  uint8_t flags = 0;
  size_t patches = 0;

  HttpResponse Send(std::string_view method, std::string_view path, const std::string& body,
                    std::string_view) override {
    HttpResponse response;
    response.ok = true;
    response.status = 200;
    if (method == "POST") {
      response.body = "{}";
    } else if (method == "GET") {
      Check(path == "/proxy/protect/api/bootstrap");
      if (flags & 2) response.status = 500;
      response.body = bootstrap;
    } else {
      Check(method == "PATCH");
      ++patches;
      CheckPatch(path, body);
      if (flags & 8) {
        response.ok = false;
        response.status = 0;
        response.error = "The operation timed out";
        return response;
      }
      if (flags & 4) response.status = 500;
      response.body = patchAnswer;
    }
    return response;
  }
  bool HasCsrfToken() const override { return true; }

 private:
  static void CheckPatch(std::string_view path, const std::string& body) {
    constexpr std::string_view kPrefix = "/proxy/protect/api/cameras/";
    Check(StartsWith(path, kPrefix) && path.size() > kPrefix.size());
    for (char c : path.substr(kPrefix.size())) {
      const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                         (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
                         c == '%';
      Check(plain);
    }
    JsonValue parsed;
    Check(ParseJson(body, parsed) && parsed.kind == JsonKind::Object);
    const JsonValue* channels = FindMember(parsed, "channels");
    Check(channels != nullptr && channels->kind == JsonKind::Array);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  FuzzConsole console;
  console.flags = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t cut = rest.find('\xFF');
  console.bootstrap = std::string(rest.substr(0, cut));
  if (cut != std::string_view::npos) console.patchAnswer = std::string(rest.substr(cut + 1));

  const DiscoveryResult result =
      DiscoverCamerasOver(console, "admin", "secret", (data[0] & 1) != 0);
  if (!result.ok) {
    Check(result.error == "Bootstrap failed (HTTP 500)." ||
          result.error == "Bootstrap contained no camera list.");
    Check(result.cameras.empty());
    Check(console.patches == 0);
    return 0;
  }
  Check(result.error.empty());
  Check(console.patches <= result.cameras.size());

  std::vector<CameraEntry> working(1);
  working[0].Name = "kept";
  working[0].Url = "rtsp://127.0.0.1:554/kept";
  const bool replaced = ApplyDiscoveredCameras(working, result.cameras, "192.0.2.1");
  Check(!working.empty());
  if (!replaced) {
    Check(working.size() == 1 && working[0].Name == "kept");
    return 0;
  }
  for (const CameraEntry& entry : working) {
    Check(StartsWith(entry.Url, "rtsps://192.0.2.1:7441/"));
    Check(StartsWith(ToPlainRtspUrl(entry.Url), "rtsp://192.0.2.1:7447/"));
  }
  return 0;
}
