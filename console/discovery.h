#pragma once
// Camera discovery on a UniFi console: sign in with a local account, read the
// Protect inventory (the "bootstrap" document) and, on request, switch RTSP on
// for the high-quality channel of every camera that has it off.
//
// The steps run over ConsoleTransport so that they work with the WinHTTP client
// (Windows) and with a scripted transport in tests.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "console/cert_pin.h"

struct CameraEntry;
struct JsonValue;

// One HTTPS exchange. ok: a response was received (whatever its status).
struct HttpResponse {
  bool ok = false;
  uint32_t status = 0;  // 0 when no response was received
  std::string body;     // as received
  std::string error;    // message when ok is false
  // Nothing of the request body was sent: the server's certificate is not the
  // one the session trusts (ok is false).
  bool certificateRefused = false;
};

// One signed-in session with a console: carries the session cookie and the CSRF
// token of each response into the following requests.
class ConsoleTransport {
 public:
  virtual ~ConsoleTransport() = default;
  // method and path in UTF-8 ("POST", "/api/auth/login"); an empty content type
  // and an empty body are not sent.
  virtual HttpResponse Send(std::string_view method, std::string_view path, const std::string& body,
                            std::string_view contentType) = 0;
  // Whether any response so far carried an X-CSRF-Token header.
  virtual bool HasCsrfToken() const = 0;
  // The fingerprint of the certificate the server presented for the last
  // request (cert_pin.h); empty when there was none or it could not be read.
  virtual std::string CertificateSha256() const { return {}; }
};

struct DiscoveredCamera {
  std::string id;           // the camera's "id", empty if absent or not a string
  std::string name;         // the camera's "name", likewise
  std::string streamAlias;  // rtspAlias of the "High" channel when RTSP is on there
  // rtspAlias of the smallest other channel with RTSP on (by width x height
  // where both channels give them, else "Low" before "Medium" before the
  // rest); empty when there is none.
  std::string subAlias;
};

struct DiscoveryResult {
  bool ok = false;
  std::string error;                      // the failure message when ok is false
  std::vector<DiscoveredCamera> cameras;  // every camera of the bootstrap, in order
  // The console's certificate: on success the one that had the sign-in, to be
  // pinned; when certificateRefused, the one refused (offered for acceptance).
  std::string certificateSha256;
  bool certificateRefused = false;  // failed because the certificate changed
};

// The error text of a discovery refused for a changed certificate.
extern const char kCertificateChangedMessage[];

constexpr uint16_t kConsolePort = 443;

// The most JSON values a console answer may hold. The bootstrap of a large
// system holds some tens of thousands; at about a hundred bytes of tree each,
// this keeps the tree of any answer (the HTTP client takes up to 32 MiB of text)
// to some tens of MB, where 32 MiB of tiny values would need gigabytes.
constexpr size_t kMaxConsoleJsonValues = size_t{1} << 19;

// Windows only (console/discovery_win.cpp): signs in to `host` (a name or an
// address as typed) on port 443 over a fresh HttpClient whose server must
// present a certificate that `certificate` trusts. subStreams: as for
// DiscoverCamerasOver.
DiscoveryResult DiscoverCameras(std::string_view host, std::string_view user,
                                std::string_view password, bool enableRtsp,
                                const CertPolicy& certificate = {}, bool subStreams = false);
// The same on another port (test consoles).
DiscoveryResult DiscoverCamerasAt(std::string_view host, uint16_t port, std::string_view user,
                                  std::string_view password, bool enableRtsp,
                                  const CertPolicy& certificate = {}, bool subStreams = false);

// The whole exchange over an open transport. With enableRtsp and subStreams
// the enabling pass also switches RTSP on for the Low channel of each camera
// that has neither Low nor Medium on (in the same PATCH as its High channel).
DiscoveryResult DiscoverCamerasOver(ConsoleTransport& transport, std::string_view user,
                                    std::string_view password, bool enableRtsp,
                                    bool subStreams = false);

// "rtsps://" host ":7441/" alias "?enableSrtp".
std::string BuildStreamUrl(std::string_view host, std::string_view alias);

// {"username":...,"password":...}
std::string SignInBody(std::string_view user, std::string_view password);

// Reads the camera list of a bootstrap document; false when the document is not
// an object with a "cameras" array.
bool ReadCameras(const JsonValue& bootstrap, std::vector<DiscoveredCamera>& cameras);

// "/proxy/protect/api/cameras/" + the id, percent-encoded.
std::string CameraPath(std::string_view id);

// The PATCH body that switches RTSP on for every channel named "High" of a
// camera's "channels" array (and, with alsoLow, every channel named "Low"):
// {"channels":[...]} with every other member sent back unchanged (numbers with
// every digit). False if `channels` is not an array.
bool BuildEnableRtspBody(const JsonValue& channels, std::string& body, bool alsoLow = false);

// Replaces `working` with the discovered cameras that have a stream alias (zoom
// and pan kept from the first entry of the same exact name; with subStreams
// each gets its sub stream's address too); leaves it as it was when there is
// none. Returns whether it was replaced.
bool ApplyDiscoveredCameras(std::vector<CameraEntry>& working,
                            const std::vector<DiscoveredCamera>& cameras, std::string_view host,
                            bool subStreams = false);
