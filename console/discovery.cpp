#include "console/discovery.h"

#include <utility>

#include "config/app_config.h"
#include "config/json.h"

namespace {

constexpr std::string_view kJson = "application/json";
constexpr std::string_view kLoginPath = "/api/auth/login";
constexpr std::string_view kBootstrapPath = "/proxy/protect/api/bootstrap";
constexpr std::string_view kCamerasPath = "/proxy/protect/api/cameras/";
constexpr std::string_view kMfaMessage =
    "Login rejected \xE2\x80\x94 this account likely has 2FA. Use a dedicated local-only user "
    "without MFA.";

DiscoveryResult Failure(std::string message) {
  DiscoveryResult result;
  result.error = std::move(message);
  return result;
}

// The server presented a certificate the session does not trust: nothing of the
// request went out but its headers. The refused certificate is reported so that
// the user can accept it.
DiscoveryResult CertificateChanged(const ConsoleTransport& transport) {
  DiscoveryResult result = Failure(kCertificateChangedMessage);
  result.certificateRefused = true;
  result.certificateSha256 = transport.CertificateSha256();
  return result;
}

// The sign-in answer as a failure message; empty when the session is open.
std::string JudgeSignIn(const HttpResponse& response, bool hasCsrfToken) {
  if (!response.ok) return "Cannot reach console: " + response.error;
  if (response.status == 499) return std::string(kMfaMessage);
  if (response.status == 401 && response.body.find("MFA") != std::string::npos)
    return std::string(kMfaMessage);
  if (response.status != 200)
    return "Login failed (HTTP " + std::to_string(response.status) + "). Check username/password.";
  if (!hasCsrfToken) return "Login succeeded but no CSRF token was returned.";
  return {};
}

std::string StringMember(const JsonValue& object, std::string_view key) {
  return GetString(object, key, "");
}

// streamAlias of one bootstrap camera: the High channel's alias when RTSP is on.
std::string HighStreamAlias(const JsonValue& camera) {
  const JsonValue* channels = FindMember(camera, "channels");
  if (channels == nullptr) return {};
  const JsonValue* high = FindByName(*channels, "High");
  if (high == nullptr || high->kind != JsonKind::Object) return {};
  const JsonValue* enabled = FindMember(*high, "isRtspEnabled");
  if (enabled == nullptr || enabled->kind != JsonKind::Bool || !enabled->boolValue) return {};
  return StringMember(*high, "rtspAlias");
}

// subAlias of one bootstrap camera.
std::string SubStreamAlias(const JsonValue& camera) {
  const JsonValue* channels = FindMember(camera, "channels");
  if (channels == nullptr || channels->kind != JsonKind::Array) return {};
  struct Candidate {
    const JsonValue* channel = nullptr;
    bool sized = false;
    double area = 0.0;
    int rank = 2;  // Low 0, Medium 1, any other name 2
  } best;
  for (const JsonValue& channel : channels->items) {
    if (channel.kind != JsonKind::Object) continue;
    const std::string name = StringMember(channel, "name");
    if (name == "High") continue;
    const JsonValue* enabled = FindMember(channel, "isRtspEnabled");
    if (enabled == nullptr || enabled->kind != JsonKind::Bool || !enabled->boolValue) continue;
    if (StringMember(channel, "rtspAlias").empty()) continue;
    Candidate c;
    c.channel = &channel;
    const JsonValue* w = FindMember(channel, "width");
    const JsonValue* h = FindMember(channel, "height");
    c.sized = w != nullptr && h != nullptr && w->kind == JsonKind::Number &&
              h->kind == JsonKind::Number && w->number > 0 && h->number > 0;
    c.area = c.sized ? w->number * h->number : 0.0;
    c.rank = name == "Low" ? 0 : name == "Medium" ? 1 : 2;
    const bool smaller = best.channel == nullptr ||
                         (c.sized && best.sized ? c.area < best.area : c.rank < best.rank);
    if (smaller) best = c;
  }
  return best.channel ? StringMember(*best.channel, "rtspAlias") : std::string();
}

// A PATCH answer as an object, or null when it is no success or no object.
bool ReadPatchAnswer(const HttpResponse& response, JsonValue& answer) {
  if (!response.ok || response.status < 200 || response.status > 299) return false;
  return ParseJsonWithin(response.body, kMaxConsoleJsonValues, answer) == JsonParseResult::Ok &&
         answer.kind == JsonKind::Object;
}

// The alias a PATCH answer reports for the High channel, or empty.
std::string AliasFromPatchAnswer(const JsonValue& answer) {
  const JsonValue* channels = FindMember(answer, "channels");
  if (channels == nullptr) return {};
  const JsonValue* high = FindByName(*channels, "High");
  if (high == nullptr || !GetBool(*high, "isRtspEnabled", false)) return {};
  return StringMember(*high, "rtspAlias");
}

// Whether the channel of that name has RTSP on.
bool RtspOn(const JsonValue& channels, std::string_view name) {
  const JsonValue* channel = FindByName(channels, name);
  if (channel == nullptr || channel->kind != JsonKind::Object) return false;
  const JsonValue* enabled = FindMember(*channel, "isRtspEnabled");
  return enabled != nullptr && enabled->kind == JsonKind::Bool && enabled->boolValue;
}

const JsonValue* FindCameraById(const JsonValue& cameras, std::string_view id) {
  for (const JsonValue& camera : cameras.items) {
    const JsonValue* member = FindMember(camera, "id");
    const std::string_view cameraId =
        member != nullptr && member->kind == JsonKind::String ? std::string_view(member->text) : "";
    if (cameraId == id) return &camera;
  }
  return nullptr;
}

// Switches RTSP on for every camera without a stream alias and, with
// subStreams, for the Low channel of every camera with neither Low nor Medium
// on: one PATCH per camera. Silent: a camera whose request fails in any way
// simply keeps no alias.
void EnableRtsp(ConsoleTransport& transport, const JsonValue& cameras,
                std::vector<DiscoveredCamera>& found, bool subStreams) {
  for (DiscoveredCamera& camera : found) {
    // Without an id there is no camera address: the path would name the
    // collection itself.
    if (camera.id.empty()) continue;
    const bool needHigh = camera.streamAlias.empty();
    if (!needHigh && !subStreams) continue;
    const JsonValue* element = FindCameraById(cameras, camera.id);
    if (element == nullptr) continue;
    const JsonValue* channels = FindMember(*element, "channels");
    if (channels == nullptr || channels->kind != JsonKind::Array) continue;
    const bool needLow = subStreams && FindByName(*channels, "Low") != nullptr &&
                         !RtspOn(*channels, "Low") && !RtspOn(*channels, "Medium");
    if (!needHigh && !needLow) continue;
    std::string body;
    if (!BuildEnableRtspBody(*channels, body, needLow)) continue;
    const HttpResponse response = transport.Send("PATCH", CameraPath(camera.id), body, kJson);
    JsonValue answer;
    const bool answered = ReadPatchAnswer(response, answer);
    if (needHigh) camera.streamAlias = answered ? AliasFromPatchAnswer(answer) : std::string();
    if (needLow) camera.subAlias = answered ? SubStreamAlias(answer) : std::string();
  }
}

}  // namespace

const char kCertificateChangedMessage[] =
    "The console's certificate has changed. Press Discover again to trust the new certificate.";

std::string BuildStreamUrl(std::string_view host, std::string_view alias) {
  std::string url = "rtsps://";
  url.append(host).append(":7441/").append(alias).append("?enableSrtp");
  return url;
}

std::string SignInBody(std::string_view user, std::string_view password) {
  JsonValue body = JsonObject();
  AddMember(body, "username", JsonString(std::string(user)));
  AddMember(body, "password", JsonString(std::string(password)));
  return SerializeJson(body);
}

bool ReadCameras(const JsonValue& bootstrap, std::vector<DiscoveredCamera>& cameras) {
  cameras.clear();
  const JsonValue* list = FindMember(bootstrap, "cameras");
  if (list == nullptr || list->kind != JsonKind::Array) return false;
  cameras.reserve(list->items.size());
  for (const JsonValue& element : list->items) {
    DiscoveredCamera camera;
    if (element.kind == JsonKind::Object) {
      camera.id = StringMember(element, "id");
      camera.name = StringMember(element, "name");
      camera.streamAlias = HighStreamAlias(element);
      camera.subAlias = SubStreamAlias(element);
    }
    cameras.push_back(std::move(camera));
  }
  return true;
}

std::string CameraPath(std::string_view id) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string path(kCamerasPath);
  for (const char c : id) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                            byte == '_' || byte == '~';
    if (unreserved) {
      path.push_back(c);
    } else {
      path.push_back('%');
      path.push_back(kHex[byte >> 4]);
      path.push_back(kHex[byte & 0x0F]);
    }
  }
  return path;
}

bool BuildEnableRtspBody(const JsonValue& channels, std::string& body, bool alsoLow) {
  if (channels.kind != JsonKind::Array) return false;
  JsonValue copy = channels;
  for (JsonValue& channel : copy.items) {
    if (channel.kind != JsonKind::Object) continue;
    const JsonValue* name = FindMember(channel, "name");
    if (name == nullptr || name->kind != JsonKind::String) continue;
    if (name->text != "High" && !(alsoLow && name->text == "Low")) continue;
    bool found = false;
    for (auto& member : channel.members) {
      if (member.first != "isRtspEnabled") continue;
      member.second = JsonBool(true);
      found = true;
    }
    if (!found) AddMember(channel, "isRtspEnabled", JsonBool(true));
  }
  JsonValue object = JsonObject();
  AddMember(object, "channels", std::move(copy));
  // Every other setting goes back to the console exactly as it came.
  body = SerializeJson(object, JsonNumbers::Exact);
  return true;
}

DiscoveryResult DiscoverCamerasOver(ConsoleTransport& transport, std::string_view user,
                                    std::string_view password, bool enableRtsp, bool subStreams) {
  const HttpResponse signIn = transport.Send("POST", kLoginPath, SignInBody(user, password), kJson);
  if (signIn.certificateRefused) return CertificateChanged(transport);
  std::string message = JudgeSignIn(signIn, transport.HasCsrfToken());
  if (!message.empty()) return Failure(std::move(message));
  // The certificate that had the password is the one to trust from now on.
  std::string certificate = transport.CertificateSha256();

  HttpResponse bootstrap = transport.Send("GET", kBootstrapPath, std::string(), kJson);
  if (bootstrap.certificateRefused) return CertificateChanged(transport);
  if (!bootstrap.ok) return Failure("Bootstrap request failed: " + bootstrap.error);
  if (bootstrap.status != 200)
    return Failure("Bootstrap failed (HTTP " + std::to_string(bootstrap.status) + ").");

  DiscoveryResult result;
  JsonValue document;
  const JsonParseResult parsed = ParseJsonWithin(bootstrap.body, kMaxConsoleJsonValues, document);
  bootstrap.body.clear();
  bootstrap.body.shrink_to_fit();
  if (parsed == JsonParseResult::TooManyValues) return Failure("Bootstrap is too large to read.");
  if (parsed != JsonParseResult::Ok || document.kind != JsonKind::Object ||
      !ReadCameras(document, result.cameras))
    return Failure("Bootstrap contained no camera list.");

  if (enableRtsp)
    EnableRtsp(transport, *FindMember(document, "cameras"), result.cameras, subStreams);
  result.certificateSha256 = std::move(certificate);
  result.ok = true;
  return result;
}

bool ApplyDiscoveredCameras(std::vector<CameraEntry>& working,
                            const std::vector<DiscoveredCamera>& cameras, std::string_view host,
                            bool subStreams) {
  std::vector<CameraEntry> list;
  for (const DiscoveredCamera& camera : cameras) {
    if (camera.streamAlias.empty()) continue;
    CameraEntry entry;
    entry.Name = camera.name;
    entry.Url = BuildStreamUrl(host, camera.streamAlias);
    if (subStreams && !camera.subAlias.empty())
      entry.SubUrl = BuildStreamUrl(host, camera.subAlias);
    for (const CameraEntry& previous : working) {
      if (previous.Name != camera.name) continue;
      entry.Zoom = previous.Zoom;
      entry.PanX = previous.PanX;
      entry.PanY = previous.PanY;
      break;
    }
    list.push_back(std::move(entry));
  }
  if (list.empty()) return false;
  working = std::move(list);
  return true;
}
